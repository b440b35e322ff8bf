#include "windows/forms/frmmain.h"

#include "line/exchange/deviceexchange.h"
#include "line/linehold.h"
#include "line/port/serialcontrol.h"
#include "line/record/linerecorder.h"
#include "line/scan/identitysearch.h"
#include "line/session/linesession.h"
#include "protocol/framing.h"
#include "ui_frmmain.h"
#include "windows/access/guardedaccessible.h"
#include "windows/artwork.h"
#include "windows/forms/frmports.h"
#include "windows/forms/optionarray.h"
#include "windows/forms/optionfocus.h"
#include "windows/forms/testloops.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

namespace {

LineSessionOptions recordedBy(LineRecorder *recorder)
{
    LineSessionOptions options;
    options.recorder = recorder;
    return options;
}

} // namespace

frmMain::frmMain(QWidget *parent) : frmMain(LineSessionOptions(), parent) { }

frmMain::frmMain(LineRecorder *recorder, QWidget *parent)
    : frmMain(recordedBy(recorder), parent) { }

frmMain::frmMain(const LineSessionOptions &options, QWidget *parent)
    : QWidget(parent), ui(new Ui::frmMain)
{
    // Before any control exists: with a screen reader running, each control is asked for its
    // accessible interface as soon as it is made, and the first answer is kept.
    InstallGuardedAccessibility();
    ui->setupUi(this);
    setWindowIcon(QuillonWindowIcon());
    showLogo();

    ui->txtError->setAccessibleName(QStringLiteral("Error"));
    ui->txtResults->setAccessibleName(QStringLiteral("Results"));
    ui->combCmd->setAccessibleName(QStringLiteral("Device command"));
    ui->combCmd->lineEdit()->setAccessibleName(QStringLiteral("Device command"));
    ui->txtAddr->setAccessibleName(QStringLiteral("Device address"));
    ui->txtCount->setAccessibleName(QStringLiteral("Loop count"));
    ui->txtRev->setAccessibleName(QStringLiteral("Revision"));

    // No box limits its length: Qt's line edits stop at 32,767 characters by default, which
    // would cut a long command short without a word.
    for (QLineEdit *box : {ui->combCmd->lineEdit(), ui->txtAddr, ui->txtCount, ui->txtRev})
        box->setMaxLength(std::numeric_limits<int>::max());

    // Tab moves on from the multi-line boxes, as from every other control.
    ui->txtResults->setTabChangesFocus(true);
    ui->txtError->setTabChangesFocus(true);

    // The error box is disabled so the operator cannot type into it; keep its text readable.
    QPalette errorPalette = ui->txtError->palette();
    errorPalette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x9b, 0x10, 0x10));
    ui->txtError->setPalette(errorPalette);
    // The revision reads as plain text on the window, not as a box to type into.
    QPalette revisionPalette = ui->txtRev->palette();
    for (const QPalette::ColorGroup group :
            {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        revisionPalette.setBrush(
                group, QPalette::Base, revisionPalette.brush(group, QPalette::Window));
    ui->txtRev->setPalette(revisionPalette);

    setUpSession(options);
    setUpViews();
    // A transcript or CSV file that stops taking lines is a failure the operator must hear of,
    // like one of the line's own.
    connect(m_recorder, &LineRecorder::writingFailed, this, &frmMain::reportError);
    setUpLoops();

    optProt = new QButtonGroup(this);
    optProt->addButton(ui->optProt_0, 0);
    optProt->addButton(ui->optProt_1, 1);
    optProt->addButton(ui->optProt_2, 2);
    optTime = new QButtonGroup(this);
    optTime->addButton(ui->optTime_0, 0);
    optTime->addButton(ui->optTime_1, 1);
    optTime->addButton(ui->optTime_2, 2);
    optTime->addButton(ui->optTime_3, 3);
    optTime->addButton(ui->optTime_4, 4);

    OptionFocus::install(optProt);
    OptionFocus::install(optTime);

    connectHandlers();
    Form_Load();
    timer()->start();
}

frmMain::~frmMain()
{
    // The line goes first: closing it is still recorded, and the window's own recorder, made
    // before it, would otherwise be gone by then.
    delete m_session;
    delete ui;
}

void frmMain::setUpSession(const LineSessionOptions &options)
{
    LineSessionOptions own = options;
    m_recorder = options.recorder ? options.recorder : new LineRecorder(this);
    own.recorder = m_recorder;
    if (!own.identityResolver) {
        m_identitySearch = new IdentitySearch(this);
        own.identityResolver = m_identitySearch;
    }
    m_session = new LineSession(own, this);
    MSComm1 = &m_session->port();
    m_session->exchange().setEarlyDisplay([this](const ReplyDisplay &display) {
        setResults(QString::fromLatin1(display.results));
    });
}

bool frmMain::exchangeInProgress() const
{
    return m_session->hold().held();
}

void frmMain::connectHandlers()
{
    connect(ui->cmdInit, &QPushButton::clicked, this, &frmMain::cmdInit_Click);
    connect(ui->cmdExit, &QPushButton::clicked, this, &frmMain::cmdExit_Click);
    connect(ui->cmdSend, &QPushButton::clicked, this, &frmMain::cmdSend_Click);
    connect(ui->cmdRead, &QPushButton::clicked, this, &frmMain::cmdRead_Click);
    connect(ui->cmdSet, &QPushButton::clicked, this, &frmMain::cmdSet_Click);
    connect(ui->txtAddr, &QLineEdit::textChanged, this, &frmMain::txtAddr_Change);
    OptionArray::connectSelection(optProt, this, &frmMain::optProt_Click);
    OptionArray::connectSelection(optTime, this, &frmMain::optTime_Click);
    connect(ui->cmdIDNTst, &QPushButton::clicked, this, &frmMain::cmdIDNTst_Click);
    connect(ui->cmdIDNtstoff, &QPushButton::clicked, this, &frmMain::cmdIDNtstoff_Click);
    connect(ui->cmdCmdtst, &QPushButton::clicked, this, &frmMain::cmdCmdtst_Click);
    connect(ui->cmdCmdtstoff, &QPushButton::clicked, this, &frmMain::cmdCmdtstoff_Click);
    connect(ui->cmdCLS, &QPushButton::clicked, this, &frmMain::cmdCLS_Click);
    connect(ui->cmdRST, &QPushButton::clicked, this, &frmMain::cmdRST_Click);
    connect(ui->cmdE, &QPushButton::clicked, this, &frmMain::cmdE_Click);
    connect(ui->cmdF, &QPushButton::clicked, this, &frmMain::cmdF_Click);
    ui->combCmd->installEventFilter(this);
    ui->combCmd->lineEdit()->installEventFilter(this);
    // No completion: what the operator types is what goes on the line, letter for letter.
    ui->combCmd->setCompleter(nullptr);

    // While an exchange waits, clicks on Send, Read and the quick commands are ignored; the busy
    // cursor says so. It goes up once the wait lets the operator act: an exchange that ends
    // first would only send the window system two cursor changes that cancel out.
    // The results box a read is to empty goes empty once the window can draw it, or at the
    // exchange's end should no reply have replaced it by then.
    auto clearResultsIfDue = [this] {
        if (std::exchange(m_resultsClearDue, false))
            setResults(QString());
    };
    const LineHold *hold = &m_session->hold();
    connect(hold, &LineHold::begun, this, &frmMain::exchangeStarted);
    connect(hold, &LineHold::yielded, this, [clearResultsIfDue] {
        QApplication::setOverrideCursor(Qt::BusyCursor);
        clearResultsIfDue();
    });
    connect(hold, &LineHold::ended, this, [this, clearResultsIfDue](bool yielded) {
        if (yielded)
            QApplication::restoreOverrideCursor();
        clearResultsIfDue();
        emit exchangeFinished();
    });
    connect(MSComm1, &SerialControl::opened, this, &frmMain::portOpened);

    // Whatever goes wrong on the line reaches the operator here, once, with one beep.
    connect(MSComm1, &SerialControl::failure, this, &frmMain::reportError);
    // News that is no failure (a lost port is back) replaces the loss report, without a beep.
    connect(MSComm1, &SerialControl::notice, this, &frmMain::showError);
}

void frmMain::Form_Load()
{
    m.crlf = QStringLiteral("\r\n");
    ui->txtRev->setText(QStringLiteral("Revised 11-20-2015"));
    ui->txtError->clear();
    setResults(QString());
    ui->combCmd->setEditText(QString());
    // The address in force is "4" although the box starts empty; Set Address commits another.
    m.framing.address = Wire::StartupAddress;
    ui->txtAddr->clear();
    ui->txtCount->setVisible(false);
    ui->cmdExit->setEnabled(true);
    timer()->setInterval(500);
    ui->optTime_3->setChecked(true); // raises optTime_Click(3)
    ui->ckCR->setChecked(false);
    ui->ckLF->setChecked(true);
    ui->ckAuto->setChecked(true);
    ui->ckByteCnt->setChecked(false);
    ui->ckPrompt->setChecked(true);
    ui->txtResults->setEnabled(true);
    ui->txtError->setEnabled(false);
    ui->combCmd->addItem(QStringLiteral("*esr?"));
    ui->combCmd->addItem(QStringLiteral("*idn?"));
    ui->combCmd->addItem(QStringLiteral("*stb?"));
    ui->combCmd->setCurrentIndex(-1); // the list fills the box otherwise
    ui->combCmd->setEditText(QString());
    ui->lblCount->setVisible(false);
    ui->txtError->setVisible(false);
    for (QAbstractButton *option : optProt->buttons())
        option->setEnabled(true);
    ui->optProt_0->setChecked(true); // raises optProt_Click(0)
    for (QPushButton *button : deviceButtons())
        button->setEnabled(false);
    m.framing.protocol = Framing::Protocol::Off;
    m.AddrSetFlg = false;
    // Last, so that the port window's own start-up finds every control here in its start state.
    if (!m_ports)
        m_ports = new frmPorts(this);
}

QList<QPushButton *> frmMain::deviceButtons() const
{
    return {ui->cmdE, ui->cmdF, ui->cmdSet, ui->cmdSend, ui->cmdRead, ui->cmdRST, ui->cmdCLS,
            ui->cmdIDNTst, ui->cmdIDNtstoff, ui->cmdCmdtst, ui->cmdCmdtstoff};
}

void frmMain::Beep()
{
    QApplication::beep();
    emit beeped();
}

void frmMain::reportError(const QString &text)
{
    showError(text);
    Beep();
}

void frmMain::showError(const QString &text)
{
    ui->txtError->setPlainText(text);
    ui->txtError->setVisible(true);
}

void frmMain::hideError()
{
    ui->txtError->setVisible(false);
}

void frmMain::showLogo()
{
    // The label draws its picture scaled to its box, and to do so keeps the full-size bitmap and
    // a full-size copy of it for as long as the window lives: some 2 MB for a 847 x 275 logo on
    // a 156 x 51 box. Given the picture at the box's size, the label keeps only what it draws.
    QLabel *box = ui->ImageVelk;
    const qreal ratio = devicePixelRatioF();
    QPixmap fitted = QuillonLogo(box->contentsRect().size() * ratio);
    fitted.setDevicePixelRatio(ratio);
    box->setPixmap(fitted);
}

void frmMain::setResults(const QString &text)
{
    m_resultsClearDue = false;
    ui->txtResults->setText(text);
}

bool frmMain::checked(const QCheckBox *box) const
{
    return box->checkState() == Qt::Checked;
}

void frmMain::closeEvent(QCloseEvent *event)
{
    // Closing the window by its title bar is leaving the program, exactly as Exit does.
    event->accept();
    cmdExit_Click();
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    // Keys reach the editable box itself (it holds the focus and hands them on to its line
    // edit directly), or its line edit when sent there; either way Enter is handled once.
    const bool commandBox = watched == ui->combCmd || watched == ui->combCmd->lineEdit();
    if (commandBox && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            combCmd_KeyPress(13);
            // Enter does nothing else in this box. Qt's own Enter handling would replace the
            // typed command by a list entry that differs only in case ("*IDN?" -> "*idn?").
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void frmMain::endProcess()
{
    // "At once" means at once: also from inside a waiting Send, where returning to the main
    // event loop could take seconds. Nothing is left to flush but the standard streams.
    std::fflush(nullptr);
    std::_Exit(EXIT_SUCCESS);
}
