// Both windows against their layout tables: geometry (twips at 15 per pixel), captions with
// their blanks, tooltips, tab order, accessible names, and that every caption fits its control.

#include "protocol/framing.h"
#include "testmain.h"
#include "windows/artwork.h"
#include "windows/forms/captionbutton.h"
#include "windows/forms/frmmain.h"
#include "windows/forms/frmports.h"
#include "windows/prerenderedimage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGlyphRun>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QTextLayout>

namespace {

struct Placed
{
    const char *name;
    const char *container; // "" = directly on the window
    int left, top, width, height; // twips
    const char *caption; // nullptr: no caption to check
    const char *tooltip; // nullptr: none
};

constexpr Placed kMainLayout[] = {
        {"Label1", "", 2520, 120, 4455, 375, "Velk Quillon Program", nullptr},
        {"txtError", "", 720, 480, 5895, 492, nullptr, nullptr},
        {"cmdInit", "", 6840, 480, 2175, 492, "Initialize COM Port", "Initializes PC COM ports"},
        {"lblCount", "", 5160, 5880, 975, 255, "Loop Count", nullptr},
        {"txtCount", "", 4920, 6240, 1455, 375, nullptr, nullptr},
        {"ImageVelk", "", 7080, 6360, 2340, 765, nullptr, nullptr},
        {"cmdExit", "", 7800, 7320, 1095, 375, "Exit", nullptr},
        {"txtRev", "", 6120, 8160, 3615, 255, nullptr, nullptr},
        {"frmTerm", "", 720, 1200, 1935, 1095, "      Terminators", nullptr},
        {"Frame2", "", 3240, 1200, 3375, 1095, "Network Protocol and Device Address", nullptr},
        {"Frame3", "", 6840, 1200, 2175, 1095, "   Send Control Char", nullptr},
        {"frmDevCmd", "", 720, 2520, 6015, 1095, "Device Command", nullptr},
        {"frm4882", "", 7440, 2520, 1575, 2175, "488.2 Commands", nullptr},
        {"frmDevResp", "", 720, 3600, 6015, 2295, "Device Response", nullptr},
        {"frmIDNLp", "", 720, 6000, 3255, 855, "IDN Message Loop", nullptr},
        {"frmCmdLp", "", 720, 6960, 3255, 855, "Device Command Loop", nullptr},
        {"frmTimer", "", 720, 7920, 5055, 615, "Timer Interval", nullptr},
        {"ckCR", "frmTerm", 120, 360, 1455, 255, "Carriage Return",
                "Adds a Carriage Return character to Device Command string"},
        {"ckLF", "frmTerm", 120, 720, 1335, 255, "Linefeed",
                "Adds a Linfeed character to the end of the Device Comand string"},
        {"optProt_2", "Frame2", 120, 240, 975, 255, "Packet", nullptr},
        {"optProt_1", "Frame2", 120, 480, 975, 255, "Addr ", nullptr},
        {"optProt_0", "Frame2", 120, 720, 1455, 255, "Off(none)", nullptr},
        {"txtAddr", "Frame2", 1680, 480, 375, 372, nullptr, "Enter device addess 1 to 15"},
        {"cmdSet", "Frame2", 2280, 360, 855, 495, "   Set Address", "Updates device addess "},
        {"cmdE", "Frame3", 120, 360, 855, 495, "CNTL-E",
                "Sends CNTL-E to enable device echo function"},
        {"cmdF", "Frame3", 1200, 360, 855, 495, "CNTL-F",
                "Sends CNTL-F to disable echo for computer control"},
        {"combCmd", "frmDevCmd", 120, 360, 4455, 315, nullptr, "Enter Device Command strings"},
        {"cmdSend", "frmDevCmd", 4680, 360, 975, 375, "Send", "Sends Device Command strings"},
        {"ckRead", "frmDevCmd", 2520, 720, 2055, 255, "Read Req'd after Send", nullptr},
        {"cmdRST", "frm4882", 240, 840, 1095, 375, "Send *RST", "Sends*RST to the device"},
        {"cmdCLS", "frm4882", 240, 1440, 1095, 375, "Send *CLS", "Sends *CLS to the device"},
        {"ckAuto", "frmDevResp", 120, 240, 1335, 255, "Auto Query",
                "Enables automatic read if command is a query"},
        {"ckByteCnt", "frmDevResp", 120, 480, 2175, 255, "Display Character Count",
                "Displays number of received characters"},
        {"ckDispAll", "frmDevResp", 120, 720, 2055, 255, "Display All Characters",
                "Displays all received characters"},
        {"ckPrompt", "frmDevResp", 2520, 720, 3255, 255, "Expect Velk Ready-for-Next-Msg prompt",
                "Reads Rdy-for-next-msg prompt from Velk interfaces"},
        {"cmdRead", "frmDevResp", 3360, 240, 2295, 375, "Read DeviceResponse",
                "Read serial RX buffer"},
        {"txtResults", "frmDevResp", 120, 1080, 5775, 1095, nullptr, nullptr},
        {"cmdIDNTst", "frmIDNLp", 240, 360, 1215, 375, "Run Loop",
                "Enables continuous IDN? testloop"},
        {"cmdIDNtstoff", "frmIDNLp", 1800, 360, 1215, 375, "Stop Loop", "Stops IDN? test lop"},
        {"cmdCmdtst", "frmCmdLp", 240, 360, 1215, 375, "Start Loop",
                "Starts output loop using Device Command string"},
        {"cmdCmdtstoff", "frmCmdLp", 1800, 360, 1215, 375, "Stop Loop", "Stops comand test loop"},
        {"optTime_0", "frmTimer", 240, 240, 855, 255, "100 ms", nullptr},
        {"optTime_1", "frmTimer", 1200, 240, 855, 255, "200 ms", nullptr},
        {"optTime_2", "frmTimer", 2160, 240, 855, 255, "300 ms", nullptr},
        {"optTime_3", "frmTimer", 3120, 240, 855, 255, "500 ms", nullptr},
        {"optTime_4", "frmTimer", 4080, 240, 735, 255, "1 sec", nullptr},
};

constexpr Placed kPortsLayout[] = {
        {"lblTitle", "", 1560, 360, 3375, 375, "Select Baud Rate and COM Port", nullptr},
        {"txtERROR", "", 720, 840, 5295, 615, nullptr, nullptr},
        {"frmBaud", "", 600, 1800, 1935, 3015, "Select Baud Rate", "Select a baud rate"},
        {"cmdCOM1", "", 3240, 1920, 1215, 735, "COM 1", "Initializes COM Port 1"},
        {"cmdCOM2", "", 3240, 3120, 1215, 735, "COM 2", "Initializes COM Port 2"},
        {"cmdCOM3", "", 4920, 1920, 1215, 735, "COM 3", "Initializes COM Port 3"},
        {"cmdCOM4", "", 4920, 3120, 1215, 735, "COM 4", "Initializes COM Port 4"},
        {"cmdExit", "", 5040, 4560, 1215, 735, "Return to    Main Form", nullptr},
        {"optBaud_0", "frmBaud", 360, 360, 975, 255, "2400", nullptr},
        {"optBaud_1", "frmBaud", 360, 720, 855, 255, "4800", nullptr},
        {"optBaud_2", "frmBaud", 360, 1080, 855, 255, "9600", nullptr},
        {"optBaud_3", "frmBaud", 360, 1440, 975, 255, "19200", nullptr},
        {"optBaud_4", "frmBaud", 360, 1800, 975, 255, "38400", nullptr},
        {"optBaud_5", "frmBaud", 360, 2160, 975, 255, "57600", nullptr},
        {"optBaud_6", "frmBaud", 360, 2520, 975, 255, "115200", nullptr},
};

// Focus order by tab index; labels, frames and the revision text take no focus.
const QStringList kMainTabOrder = {"cmdInit", "txtAddr", "cmdSet", "cmdE", "cmdF", "txtError",
        "cmdExit", "txtResults", "cmdRead", "ckAuto", "ckByteCnt", "ckDispAll", "combCmd",
        "cmdSend", "cmdRST", "cmdCLS", "cmdIDNTst", "cmdIDNtstoff", "cmdCmdtst", "cmdCmdtstoff",
        "txtCount", "ckCR", "ckLF", "optTime_0", "optTime_1", "optTime_2", "optTime_3", "optTime_4",
        "optProt_0", "optProt_1", "optProt_2", "ckPrompt", "ckRead"};
const QStringList kPortsTabOrder
        = {"txtERROR", "optBaud_0", "optBaud_1", "optBaud_2", "optBaud_3", "optBaud_4", "cmdCOM1",
                "cmdCOM2", "cmdCOM3", "cmdCOM4", "cmdExit", "optBaud_5", "optBaud_6"};

int px(int twips)
{
    return qRound(twips / 15.0);
}

QString captionOf(QWidget *w)
{
    if (auto *b = qobject_cast<QAbstractButton *>(w))
        return b->text();
    if (auto *l = qobject_cast<QLabel *>(w))
        return l->text();
    if (auto *g = qobject_cast<QGroupBox *>(w))
        return g->title();
    return {};
}

// The declared focus order, read the way Tab walks it.
QStringList focusChain(QWidget *window)
{
    QStringList names;
    QWidget *w = window->nextInFocusChain();
    while (w != window) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->window() == window && !w->objectName().isEmpty()
                && !w->objectName().startsWith(u"qt_"))
            names << w->objectName();
        w = w->nextInFocusChain();
    }
    return names;
}

// Why a caption does not fit, or an empty string when it does.
QString clipping(QWidget *w)
{
    const QString text = captionOf(w);
    if (auto *button = qobject_cast<CaptionButton *>(w)) {
        const QRect area = button->captionRect();
        const QRect needed
                = button->fontMetrics().boundingRect(area, CaptionButton::captionFlags, text);
        if (needed.width() > area.width() || needed.height() > area.height())
            return QStringLiteral("needs %1x%2, has %3x%4")
                    .arg(needed.width())
                    .arg(needed.height())
                    .arg(area.width())
                    .arg(area.height());
        return {};
    }
    QSize needed;
    if (qobject_cast<QCheckBox *>(w) || qobject_cast<QRadioButton *>(w))
        needed = w->sizeHint();
    else if (qobject_cast<QLabel *>(w))
        needed = w->fontMetrics().size(Qt::TextSingleLine, text);
    else
        return {};
    // A check box's hint adds a little air around the text; the height only has to hold the text.
    const int neededHeight
            = qMax(w->fontMetrics().height(), w->style()->pixelMetric(QStyle::PM_IndicatorHeight));
    if (needed.width() > w->width() || neededHeight > w->height())
        return QStringLiteral("needs %1x%2, has %3x%4")
                .arg(needed.width())
                .arg(neededHeight)
                .arg(w->width())
                .arg(w->height());
    return {};
}

} // namespace

class LayoutTest : public QObject
{
    Q_OBJECT

private:
    void checkLayout(QWidget *window, const Placed *begin, const Placed *end)
    {
        for (const Placed *p = begin; p != end; ++p) {
            auto *w = window->findChild<QWidget *>(QString::fromLatin1(p->name));
            QVERIFY2(w, p->name);
            const QString container = QString::fromLatin1(p->container);
            QCOMPARE(w->parentWidget()->objectName(),
                    container.isEmpty() ? window->objectName() : container);
            QCOMPARE(w->geometry(), QRect(px(p->left), px(p->top), px(p->width), px(p->height)));
            if (p->caption)
                QCOMPARE(captionOf(w), QString::fromLatin1(p->caption));
            QCOMPARE(w->toolTip(), p->tooltip ? QString::fromLatin1(p->tooltip) : QString());
        }
    }

    void checkCaptionsFit(QWidget *window)
    {
        QStringList clipped;
        for (QWidget *w : window->findChildren<QWidget *>()) {
            const QString why = clipping(w);
            if (!why.isEmpty())
                clipped << QStringLiteral("%1 \"%2\": %3").arg(w->objectName(), captionOf(w), why);
        }
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(u"; ")));
    }

    // The ink columns of each glyph of `text`, drawn as a widget with `font` draws it.
    static QList<std::pair<int, int>> glyphInk(const QFont &font, const QString &text)
    {
        QTextLayout layout(text, font);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        QList<std::pair<int, int>> spans;
        for (const QGlyphRun &run : layout.glyphRuns()) {
            for (qsizetype i = 0; i < run.glyphIndexes().size(); ++i) {
                QGlyphRun one = run;
                one.setGlyphIndexes({run.glyphIndexes().at(i)});
                one.setPositions({run.positions().at(i)});
                QImage image(200, 40, QImage::Format_ARGB32_Premultiplied);
                image.fill(Qt::transparent);
                QPainter(&image).drawGlyphRun(QPointF(4, 28), one);
                int first = -1, last = -1;
                for (int x = 0; x < image.width(); ++x)
                    for (int y = 0; y < image.height(); ++y)
                        if (qAlpha(image.pixel(x, y)) >= 128) {
                            first = first < 0 ? x : first;
                            last = x;
                        }
                spans.append({first, last});
            }
        }
        return spans;
    }

private slots:
    void digitsReadEvenly_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("option");
        QTest::newRow("115200") << "ports"
                                << "optBaud_6";
        QTest::newRow("100 ms") << "main"
                                << "optTime_0";
    }

    void digitsReadEvenly()
    {
        // "11 5200": hinting that rounds each digit's advance to whole pixels opened a gap
        // after "11" wider than any other between the digits.
        QFETCH(QString, window);
        QFETCH(QString, option);
        frmMain main;
        QWidget *owner = window == u"main" ? static_cast<QWidget *>(&main) : main.portsWindow();
        auto *button = owner->findChild<QRadioButton *>(option);
        const QString caption = button->text();
        const qsizetype digits = caption.indexOf(u' ') < 0 ? caption.size() : caption.indexOf(u' ');
        const auto ink = glyphInk(button->font(), caption.left(digits));
        QCOMPARE(ink.size(), digits);
        QList<int> gaps;
        for (qsizetype i = 0; i + 1 < ink.size(); ++i)
            gaps << ink[i + 1].first - ink[i].second - 1;
        const auto [narrowest, widest] = std::minmax_element(gaps.begin(), gaps.end());
        QVERIFY2(*widest - *narrowest <= 1,
                qPrintable(caption + ": gaps of " + QString::number(*narrowest) + " to "
                        + QString::number(*widest) + " pixels"));
    }

    void mainWindowMatchesItsLayout()
    {
        frmMain window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Velk Quillon"));
        QCOMPARE(window.size(), QSize(643, 569));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        checkLayout(&window, std::begin(kMainLayout), std::end(kMainLayout));
        QCOMPARE(window.findChild<QLabel *>("Label1")->font().pointSizeF(), 12.0);
        // The other views name the framings by one table's words: its captions are these.
        for (const FramingWords &words : kFramingWords)
            QCOMPARE(window.findChild<QRadioButton *>(
                                   QStringLiteral("optProt_%1").arg(int(words.protocol)))
                             ->text(),
                    QString::fromLatin1(words.caption));
    }

    void portWindowMatchesItsLayout()
    {
        frmMain main;
        frmPorts *window = main.portsWindow();
        QCOMPARE(window->windowTitle(), QStringLiteral("Set COM Ports"));
        QCOMPARE(window->size(), QSize(470, 383));
        QCOMPARE(window->minimumSize(), window->maximumSize());
        checkLayout(window, std::begin(kPortsLayout), std::end(kPortsLayout));
        QCOMPARE(window->findChild<QLabel *>("lblTitle")->font().pointSizeF(), 9.75);
        QVERIFY(!window->isVisible());
    }

    void optionArraysHaveExactlyTheirMembers()
    {
        frmMain main;
        for (const auto &[prefix, count, owner] :
                {std::tuple<QString, int, QWidget *>{"optProt_", 3, &main}, {"optTime_", 5, &main},
                        {"optBaud_", 7, main.portsWindow()}}) {
            QRegularExpression member(QStringLiteral("^%1\\d+$").arg(prefix));
            QCOMPARE(owner->findChildren<QRadioButton *>(member).size(), count);
        }
    }

    void tabOrderFollowsTheTabIndices()
    {
        frmMain main;
        QCOMPARE(focusChain(&main), kMainTabOrder);
        QCOMPARE(focusChain(main.portsWindow()), kPortsTabOrder);
    }

    void captionsFitTheirControls()
    {
        frmMain main;
        main.show();
        main.portsWindow()->show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        checkCaptionsFit(&main);
        checkCaptionsFit(main.portsWindow());
        // The return button is meant to wrap; make sure it really takes two lines.
        auto *back = main.portsWindow()->findChild<CaptionButton *>("cmdExit");
        const QRect two = back->fontMetrics().boundingRect(
                back->captionRect(), CaptionButton::captionFlags, back->text());
        QCOMPARE(two.height() / back->fontMetrics().lineSpacing(), 2);
        // ... breaking as drawn: "Return to" over "Main Form".
        const int width = back->captionRect().width();
        QVERIFY(back->fontMetrics().horizontalAdvance("Return to    Main") > width);
        QVERIFY(back->fontMetrics().horizontalAdvance("Main Form") <= width);
    }

    void iconAndLogoHaveTheExpectedFormats()
    {
        QFile icon(":/quillon/quillon.ico");
        QVERIFY(icon.open(QIODevice::ReadOnly));
        const QByteArray ico = icon.readAll();
        auto word = [](const QByteArray &b, int at) {
            return quint8(b[at]) | quint8(b[at + 1]) << 8;
        };
        QCOMPARE(word(ico, 2), 1); // an icon resource
        QCOMPARE(word(ico, 4), 6);
        QList<QPair<int, int>> images; // size, bits per pixel
        for (int i = 0; i < 6; ++i)
            images << qMakePair(int(quint8(ico[6 + 16 * i])), word(ico, 6 + 16 * i + 6));
        QCOMPARE(images,
                (QList<QPair<int, int>>{{48, 8}, {48, 32}, {32, 8}, {32, 32}, {16, 8}, {16, 32}}));

        QFile logo(":/quillon/logo.bmp");
        QVERIFY(logo.open(QIODevice::ReadOnly));
        const QByteArray bmp = logo.readAll();
        auto dword = [&](int at) { return word(bmp, at) | word(bmp, at + 2) << 16; };
        QVERIFY(bmp.startsWith("BM"));
        QCOMPARE(dword(14), 40); // information header size
        QCOMPARE(dword(18), 847); // width
        QCOMPARE(dword(22), 275); // height
        QCOMPARE(word(bmp, 28), 24);
        QCOMPARE(dword(30), 0); // uncompressed
        frmMain window;
        QVERIFY(!window.findChild<QLabel *>("ImageVelk")->pixmap().isNull());
        QVERIFY(!window.windowIcon().isNull());
    }

    // The logo is the whole bitmap drawn smoothly scaled to its box, pixel for pixel, however
    // the window comes by the scaled picture.
    void logoIsTheBitmapScaledToItsBox()
    {
        frmMain window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *box = window.findChild<QLabel *>("ImageVelk");
        const QImage drawn
                = box->grab(box->contentsRect()).toImage().convertToFormat(QImage::Format_RGB32);
        const QImage expected
                = QImage(":/quillon/logo.bmp")
                          .scaled(drawn.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_RGB32);
        QCOMPARE(drawn.size(), box->contentsRect().size() * box->devicePixelRatioF());
        QCOMPARE(drawn, expected);
    }

    // The build decodes the icon and scales the logo ahead; the windows must show what Qt makes
    // of the shipped files, pixel for pixel, at the sizes the build prepared and at one it did not.
    void logoMatchesTheBitmapAtEveryScale_data()
    {
        QTest::addColumn<QSize>("box");
        QTest::newRow("one device pixel per pixel") << QSize(156, 51);
        QTest::newRow("two, prepared too") << QSize(312, 102);
        QTest::newRow("one and a half, scaled at run time") << QSize(234, 77);
    }

    void logoMatchesTheBitmapAtEveryScale()
    {
        QFETCH(QSize, box);
        const QImage expected
                = QImage(":/quillon/logo.bmp")
                          .scaled(box, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_RGB32);
        const QPixmap logo = QuillonLogo(box);
        QVERIFY(!logo.hasAlphaChannel());
        QCOMPARE(logo.toImage().convertToFormat(QImage::Format_RGB32), expected);
    }

    void everyWindowShowsTheIconFilesImages()
    {
        const QIcon shipped(":/quillon/quillon.ico");
        QList<QSize> sizes = shipped.availableSizes();
        QCOMPARE(sizes.size(), 3);
        frmMain main;
        for (const QIcon &shown :
                {QuillonWindowIcon(), main.windowIcon(), main.portsWindow()->windowIcon()}) {
            QList<QSize> shownSizes = shown.availableSizes();
            auto byWidth = [](QSize a, QSize b) { return a.width() < b.width(); };
            std::sort(sizes.begin(), sizes.end(), byWidth);
            std::sort(shownSizes.begin(), shownSizes.end(), byWidth);
            QCOMPARE(shownSizes, sizes);
            for (const QSize size : sizes)
                QCOMPARE(shown.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32),
                        shipped.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32));
        }
    }

    void prerenderedImagesDecodeWholeOrNotAtAll_data()
    {
        QImage opaque(3, 2, QImage::Format_RGB32);
        opaque.fill(QColor(0x12, 0x34, 0x56));
        opaque.setPixel(2, 1, qRgb(0xfe, 0x01, 0x80));
        QImage translucent(2, 2, QImage::Format_ARGB32);
        translucent.fill(qRgba(0x10, 0x20, 0x30, 0x40));
        translucent.setPixel(1, 0, qRgba(0xff, 0x00, 0x7f, 0x00));
        const QByteArray good = PrerenderedImage::encode(opaque);
        auto patched = [&good](int at, char byte) {
            QByteArray bytes = good;
            bytes[at] = byte;
            return bytes;
        };
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QImage>("expected"); // null: refused
        QTest::newRow("opaque") << good << opaque;
        QTest::newRow("translucent, alpha kept as is")
                << PrerenderedImage::encode(translucent) << translucent;
        QTest::newRow("one byte short") << good.chopped(1) << QImage();
        QTest::newRow("one byte over") << good + '\0' << QImage();
        QTest::newRow("not ours") << patched(0, 'X') << QImage();
        QTest::newRow("no width") << patched(4, 0) << QImage();
        QTest::newRow("wider than its pixels") << patched(4, 4) << QImage();
        QTest::newRow("unknown alpha flag") << patched(12, 2) << QImage();
        QTest::newRow("header only") << good.left(PrerenderedImage::HeaderSize) << QImage();
        QTest::newRow("empty") << QByteArray() << QImage();
    }

    void prerenderedImagesDecodeWholeOrNotAtAll()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QImage, expected);
        const QImage decoded = PrerenderedImage::decode(bytes);
        QCOMPARE(decoded.isNull(), expected.isNull());
        if (!expected.isNull()) {
            QCOMPARE(decoded.format(), expected.format());
            QCOMPARE(decoded, expected);
        }
    }

    // Frames are drawn as instrument panels: a thin line whose top border the caption sits in
    // and interrupts.
    void frameCaptionSitsInItsTopBorder()
    {
        frmMain main;
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        auto *frame = main.findChild<QGroupBox *>("frmTerm"); // "      Terminators"
        const QImage drawn = frame->grab().toImage();
        const QRgb line = frame->palette().color(QPalette::Mid).rgb();
        const QRgb ground = frame->palette().color(QPalette::Window).rgb();
        const int border = 6;
        const int captionEnd = 6 + 4 + frame->fontMetrics().horizontalAdvance(frame->title()) + 2;
        QCOMPARE(drawn.pixel(4, border), line);
        QCOMPARE(drawn.pixel(12, border), ground); // under the caption's leading blanks
        QCOMPARE(drawn.pixel(captionEnd + 2, border), line);
        QCOMPARE(drawn.pixel(frame->width() / 2, frame->height() - 1), line);
        QCOMPARE(drawn.pixel(0, frame->height() / 2), line);
        // The caption's ink lies in the gap, above the contents.
        int inkLeft = drawn.width(), inkRight = -1;
        for (int y = 0; y < frame->fontMetrics().height(); ++y)
            for (int x = 1; x < drawn.width() - 1; ++x)
                if (qGray(drawn.pixel(x, y)) < 100) {
                    inkLeft = std::min(inkLeft, x);
                    inkRight = std::max(inkRight, x);
                }
        QVERIFY2(inkLeft > 10 && inkRight < captionEnd,
                qPrintable(QStringLiteral("ink %1..%2").arg(inkLeft).arg(inkRight)));
    }

    void textBoxesHaveAccessibleNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("accessible");
        QTest::newRow("error") << "txtError"
                               << "Error";
        QTest::newRow("results") << "txtResults"
                                 << "Results";
        QTest::newRow("command") << "combCmd"
                                 << "Device command";
        QTest::newRow("address") << "txtAddr"
                                 << "Device address";
        QTest::newRow("count") << "txtCount"
                               << "Loop count";
        QTest::newRow("revision") << "txtRev"
                                  << "Revision";
    }

    void textBoxesHaveAccessibleNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, accessible);
        frmMain main;
        QCOMPARE(main.findChild<QWidget *>(name)->accessibleName(), accessible);
        QCOMPARE(main.portsWindow()->findChild<QWidget *>("txtERROR")->accessibleName(),
                QStringLiteral("Error"));
        QCOMPARE(main.findChild<QComboBox *>("combCmd")->lineEdit()->accessibleName(),
                QStringLiteral("Device command"));
    }
};

QUILLON_TEST_MAIN(LayoutTest)
#include "test_layout.moc"
