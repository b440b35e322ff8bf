#pragma once

#include "mainstate.h"

#include <QWidget>

QT_BEGIN_NAMESPACE
class QButtonGroup;
class QCheckBox;
class QPushButton;
class QTimer;
namespace Ui {
class frmMain;
}
QT_END_NAMESPACE

class LineWait;
class SerialControl;
class WireLog;
class frmPorts;

// The main window. Its handlers sit in one file per concern beside this one (frmmain_exchange,
// frmmain_protocol, frmmain_port, frmmain_loops); frmmain.cpp holds the state and start-up.
class frmMain : public QWidget
{
    Q_OBJECT

public:
    // `transcript`, when given, records the line's traffic; it must outlive the window.
    explicit frmMain(WireLog *transcript = nullptr, QWidget *parent = nullptr);
    ~frmMain() override;

    const MainState &state() const { return m; }
    SerialControl *serial() const { return MSComm1; }
    frmPorts *portsWindow() const { return m_ports; }
    QTimer *timer() const { return Timer1; }
    // True while a Send or Read is waiting for the device.
    bool exchangeInProgress() const;

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

    // The body of Send and Read, callable while an exchange is already under way.
    void sendCommand();
    void readResponse();
    void sendControlChar(char code, const QString &confirmation);
    void sendQuickCommand(const QString &command);

    [[noreturn]] void endProcess();

    Ui::frmMain *ui;
    MainState m;
    SerialControl *MSComm1 = nullptr;
    LineWait *m_lineWait = nullptr;
    QTimer *Timer1 = nullptr;
    QButtonGroup *optProt = nullptr;
    QButtonGroup *optTime = nullptr;
    frmPorts *m_ports = nullptr;
};
