#include "appearance.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QProxyStyle>
#include <QStyleFactory>

namespace {

// Fusion with the tighter gap between an option's indicator and its caption that the fixed
// layout was drawn for; everything else is Fusion's own.
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
};

} // namespace

void ApplyQuillonAppearance()
{
    // Fusion draws the same everywhere; native styles differ in margins the layout cannot absorb.
    QApplication::setStyle(new QuillonStyle);
    // Frames as instrument panels draw them: the caption sits in the top border line.
    qApp->setStyleSheet(QStringLiteral(
            "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
            "QGroupBox::title { subcontrol-origin: margin; left: 6px; padding: 0 2px; }"));
    const int id = QFontDatabase::addApplicationFont(
            QStringLiteral(":/quillon/LiberationSans-Regular.ttf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    QFont font(families.isEmpty() ? QStringLiteral("Sans Serif") : families.first());
    font.setPointSizeF(7.5);
    font.setHintingPreference(QFont::PreferVerticalHinting);
    QApplication::setFont(font);
}
