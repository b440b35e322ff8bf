#pragma once

#include "line/session/linesession.h"
#include "windows/forms/mainstate.h"
#include "windows/forms/testloops.h"

#include <QWidget>

#include <functional>

QT_BEGIN_NAMESPACE
class QAction;
class QButtonGroup;
class QCheckBox;
class QPushButton;
class QTimer;
namespace Ui {
class frmMain;
}
QT_END_NAMESPACE

class FindInstruments;
class ShareWindow;
struct FoundInstrument;
class IdentitySearch;
struct ExchangeSettings;
struct ReplyOutcome;
class LineRecorder;
class LoopChart;
class LoopSeries;
class SerialControl;
class WireModel;
class WireView;
class frmPorts;

// The main window. Its handlers sit in one file per concern beside this one (frmmain_exchange,
// frmmain_protocol, frmmain_port, frmmain_loops); frmmain.cpp holds the state and start-up.
class frmMain : public QWidget
{
    Q_OBJECT

public:
    // The window's line session is built from `options`: the recorder, when given, is told of
    // the line's traffic and of the loop's replies, and must outlive the window (without one the
    // window keeps its own, for the wire view and the chart); reopening as they say. COM n and
    // its settings are what the port window chooses.
    explicit frmMain(QWidget *parent = nullptr);
    explicit frmMain(LineRecorder *recorder, QWidget *parent = nullptr);
    explicit frmMain(const LineSessionOptions &options, QWidget *parent = nullptr);
    ~frmMain() override;

    const MainState &state() const { return m; }
    SerialControl *serial() const { return MSComm1; }
    LineSession *session() const { return m_session; }
    frmPorts *portsWindow() const { return m_ports; }
    QTimer *timer() const;
    // The IDN loop and the command loop: their flags, their count and their timer.
    const TestLoops &loops() const { return *m_loops; }
    // True while an exchange holds the line: a Send or Read waiting for the device.
    bool exchangeInProgress() const;

    // The windows that show the line and the loop (frmmain_views.cpp). Their data is gathered
    // from the start, so a window opened late shows what came before it.
    LineRecorder *recorder() const { return m_recorder; }
    WireModel *wireModel() const { return m_wireModel; }
    LoopSeries *loopSeries() const { return m_loopSeries; }
    WireView *wireView() const { return m_wireView; }
    LoopChart *loopChart() const { return m_loopChart; }
    FindInstruments *findInstruments() const { return m_findInstruments; }
    void showWireView();
    void showLoopChart();
    void showFindInstruments();
    // "Share on the Network…": the window's line served to VISA programs.
    void showShareWindow();
    ShareWindow *shareWindow() const { return m_shareWindow; }
    QAction *shareAction() const { return m_shareAction; }
    QAction *wireViewAction() const { return m_wireAction; }
    QAction *loopChartAction() const { return m_chartAction; }
    QAction *findInstrumentsAction() const { return m_findAction; }

    // Start-up (frmmain.cpp)
    void Form_Load();

    // Device exchange (frmmain_exchange.cpp, frmmain_protocol.cpp)
    void cmdSend_Click();
    void cmdRead_Click();
    void Tdelay(double delaytime);
    void optProt_Click(int Index);
    void txtAddr_Change();
    void cmdSet_Click();

    // Port (frmmain_port.cpp)
    void cmdInit_Click();
    void cmdExit_Click();
    // Binds COM `comPort` to the line `instrument` was found on, for this run, and opens it as
    // the operator would: its baud rate and COM button in the port window, then its framing
    // and its address in this one, each through the handler a click runs.
    void useFoundInstrument(int comPort, const FoundInstrument &instrument);

    // Loops and quick commands (frmmain_loops.cpp)
    void optTime_Click(int Index);
    void Timer1_Timer();
    void cmdIDNTst_Click();
    void cmdIDNtstoff_Click();
    void cmdCmdtst_Click();
    void cmdCmdtstoff_Click();
    void cmdCLS_Click();
    void cmdRST_Click();
    void cmdE_Click();
    void cmdF_Click();
    void combCmd_KeyPress(int KeyAscii);

signals:
    // Every beep the operator hears; lets tests count them where no sound device exists.
    void beeped();
    // A Send or Read begins / has ended waiting on the line.
    void exchangeStarted();
    void exchangeFinished();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void connectHandlers();
    // The buttons that need an open port, in the order Initialize enables them.
    QList<QPushButton *> deviceButtons() const;
    void Beep();
    // The error box shows `text`, with one beep.
    void reportError(const QString &text);
    void showError(const QString &text);
    void hideError();
    void showLogo();
    void setResults(const QString &text);
    bool checked(const QCheckBox *box) const;

    // True when another user has the line: a locked line is said, a client's exchange under way
    // is waited for and `handler` runs again after it.
    bool lineTakenByAnother(void (frmMain::*handler)());
    // What the next Send or Read depends on, read from the window once as it starts.
    ExchangeSettings exchangeSettings() const;
    // The body of Send, inside the exchange it was given.
    void sendCommand(const ExchangeSettings &settings);
    // What the window does as a read begins, and with the reply it got.
    void startRead();
    void showReply(const ReplyOutcome &reply);
    void sendControlChar(char code, const QString &confirmation);
    void sendQuickCommand(const QString &command);

    // The rest of Initialize: the port window, then the port opened as chosen there.
    void choosePort();
    // Opens the port as chosen; `then` runs once it is open, at once or when it has been
    // reached. False when it failed at once.
    bool openChosenPort(const std::function<void()> &then = {});
    void portOpened();
    [[noreturn]] void endProcess();

    void setUpSession(const LineSessionOptions &options);
    void setUpViews();
    void setUpLoops();
    // The steps of a loop's tick (frmmain_loops.cpp).
    void sendIdnQuery();
    void sendLoopCommand();
    void showCount(qint64 count);
    void hideCount(bool withLabel);

    Ui::frmMain *ui;
    MainState m;
    LineSession *m_session = nullptr;
    SerialControl *MSComm1 = nullptr; // the session's port
    IdentitySearch *m_identitySearch = nullptr;
    TestLoops *m_loops = nullptr;
    // Initialize was pressed while an exchange waited: the port window opens once it has ended.
    bool m_portChoiceDue = false;
    // A Send or Read waits for a network client's exchange to end.
    bool m_turnDue = false;
    // What follows the open under way once the port is open (a found instrument's framing).
    std::function<void()> m_afterOpen;
    // A read follows the send and the results box is to be empty while it waits: emptied when
    // the wait first lets the window draw, unless the reply is shown before.
    bool m_resultsClearDue = false;
    QButtonGroup *optProt = nullptr;
    QButtonGroup *optTime = nullptr;
    frmPorts *m_ports = nullptr;

    LineRecorder *m_recorder = nullptr;
    WireModel *m_wireModel = nullptr;
    LoopSeries *m_loopSeries = nullptr;
    WireView *m_wireView = nullptr;
    LoopChart *m_loopChart = nullptr;
    FindInstruments *m_findInstruments = nullptr;
    QAction *m_wireAction = nullptr;
    QAction *m_chartAction = nullptr;
    QAction *m_findAction = nullptr;
    ShareWindow *m_shareWindow = nullptr;
    QAction *m_shareAction = nullptr;
};
