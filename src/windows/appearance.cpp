#include "appearance.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QPainter>
#include <QProxyStyle>
#include <QResource>
#include <QStyleFactory>
#include <QStyleOption>

#include <thread>

#if defined(Q_OS_UNIX)
#include <dlfcn.h>
#endif

namespace {

// Where a frame's caption sits: in the top border line, inset from the left corner.
constexpr int FrameTopMargin = 6;
constexpr int CaptionInset = 6;
constexpr int CaptionLeftPadding = 4;
constexpr int CaptionRightPadding = 2;
constexpr qreal FrameCornerRadius = 1.5;

// Fusion with the tighter gap between an option's indicator and its caption that the fixed
// layout was drawn for, and frames drawn as instrument panels draw them: a thin line with the
// caption sitting in its top border. Everything else is Fusion's own. Drawn here rather than by
// a style sheet, which would be consulted for every control on every polish and paint.
class QuillonStyle : public QProxyStyle
{
public:
    QuillonStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) { }

    int pixelMetric(
            PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        if (metric == PM_CheckBoxLabelSpacing || metric == PM_RadioButtonLabelSpacing)
            return 3;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex *option, SubControl part,
            const QWidget *widget) const override
    {
        const auto *frame = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
        if (control != CC_GroupBox || !frame)
            return QProxyStyle::subControlRect(control, option, part, widget);
        const QRect outline = frame->rect.adjusted(0, FrameTopMargin, 0, 0);
        switch (part) {
        case SC_GroupBoxFrame:
            return outline;
        case SC_GroupBoxContents:
            return outline.adjusted(1, 1, -1, -1);
        case SC_GroupBoxLabel: {
            if (frame->text.isEmpty())
                return {};
            const int width = frame->fontMetrics.horizontalAdvance(frame->text);
            return {frame->rect.left() + CaptionInset, frame->rect.top(),
                    CaptionLeftPadding + width + CaptionRightPadding, frame->fontMetrics.height()};
        }
        default:
            return {};
        }
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex *option,
            QPainter *painter, const QWidget *widget) const override
    {
        const auto *frame = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
        if (control != CC_GroupBox || !frame) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        const QRect caption = subControlRect(control, option, SC_GroupBoxLabel, widget);
        painter->save();
        // The caption interrupts the line it sits in.
        painter->setClipRegion(QRegion(frame->rect).subtracted(caption));
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(frame->palette.color(QPalette::Mid));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(QRectF(subControlRect(control, option, SC_GroupBoxFrame, widget))
                                         .adjusted(0.5, 0.5, -0.5, -0.5),
                FrameCornerRadius, FrameCornerRadius);
        painter->restore();
        if (!caption.isEmpty())
            drawItemText(painter, caption.adjusted(CaptionLeftPadding, 0, -CaptionRightPadding, 0),
                    Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic, frame->palette,
                    frame->state & State_Enabled, frame->text, QPalette::WindowText);
    }
};

// Joined at the latest when the program ends, should it end before any window is built.
struct BackgroundRead
{
    std::thread thread;
    ~BackgroundRead()
    {
        if (thread.joinable())
            thread.join();
    }
};
BackgroundRead g_fontConfigurationRead;

} // namespace

void StartReadingFontConfiguration()
{
#if defined(Q_OS_UNIX)
    // Qt reads the configuration (some fifty files on a Debian desktop) the first time it needs
    // a font, in the middle of building the window. Read here, it is ready by then, and Qt finds
    // it made. Looked up rather than linked: where Qt draws without fontconfig there is nothing
    // to read ahead.
    using FontConfigurationInit = int (*)();
    const auto init = reinterpret_cast<FontConfigurationInit>(dlsym(RTLD_DEFAULT, "FcInit"));
    if (init && !g_fontConfigurationRead.thread.joinable())
        g_fontConfigurationRead.thread = std::thread(init);
#endif
}

void ApplyQuillonAppearance()
{
    // Read once, not twice at the same time.
    if (g_fontConfigurationRead.thread.joinable())
        g_fontConfigurationRead.thread.join();

    // Fusion draws the same everywhere; native styles differ in margins the layout cannot absorb.
    QApplication::setStyle(new QuillonStyle);
    // Handed over where it lies in the program: loaded by name from the resources, Qt would copy
    // the font into memory twice over, once to register it and once to draw with it.
    const QResource shipped(QStringLiteral(":/quillon/LiberationSans-Regular.ttf"));
    const int id = QFontDatabase::addApplicationFontFromData(shipped.uncompressedData());
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    QFont font(families.isEmpty() ? QStringLiteral("Sans Serif") : families.first());
    font.setPointSizeF(7.5);
    font.setHintingPreference(QFont::PreferVerticalHinting);
    QApplication::setFont(font);
}
