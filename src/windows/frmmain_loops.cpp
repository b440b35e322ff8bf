// The timer-driven test loops and the one-click commands.

#include "line/linewait.h"
#include "line/serialcontrol.h"
#include "protocol/framing.h"
#include "ui_frmmain.h"
#include "windows/frmmain.h"

#include <QScopeGuard>
#include <QTimer>

#include <array>

void frmMain::optTime_Click(int Index)
{
    static constexpr std::array<int, 5> kIntervals = {100, 200, 300, 500, 1000};
    if (Index >= 0 && Index < int(kIntervals.size()))
        Timer1->setInterval(kIntervals[Index]);
}

void frmMain::Timer1_Timer()
{
    // A tick that falls due while an earlier tick's exchange still waits is dropped: it would
    // only find the line busy, and the earlier tick has yet to count. During the operator's
    // own Send or Read the tick runs and counts; its sends are refused as any nested Send is.
    if (m_tickRunning)
        return;
    m_tickRunning = true;
    const auto tickDone = qScopeGuard([this] { m_tickRunning = false; });

    // With both loops off a tick only keeps the count hidden at 0; the label is left to the
    // Stop Loop buttons.
    if (m.CMDloopFlg == 0 && m.IDNTestFlg == 0) {
        ui->txtCount->setVisible(false);
        m.LpCount = 0;
        return;
    }
    // With the port closed (the port window is open, or the device went away) a tick sends
    // nothing and reports nothing, rather than beeping an error every 100 ms; it still counts.
    const bool portOpen = MSComm1->PortOpen();
    // The replies read from here on are the loop's: the chart and --csv take them.
    if (portOpen && m.IDNTestFlg == 1) {
        ui->combCmd->setEditText(QStringLiteral("*IDN?"));
        cmdSend_Click();
    }
    // With both loops on, the IDN step has just put "*IDN?" into the box, so it goes twice.
    if (portOpen && m.CMDloopFlg == 1) {
        if (!ui->combCmd->currentText().isEmpty()) {
            hideError();
            cmdSend_Click();
        } else {
            reportError(QStringLiteral("Command box empty"));
        }
    }
    // Every tick with a loop on counts once, whatever its sends did.
    ui->txtCount->setVisible(true);
    ui->lblCount->setVisible(true);
    ++m.LpCount;
    ui->txtCount->setText(QString::number(m.LpCount));
}

void frmMain::cmdIDNTst_Click()
{
    ui->combCmd->setEditText(QStringLiteral("*idn?"));
    m.IDNTestFlg = 1;
}

void frmMain::cmdIDNtstoff_Click()
{
    m.IDNTestFlg = 0;
    if (m.CMDloopFlg == 0) {
        ui->txtCount->setVisible(false);
        ui->lblCount->setVisible(false);
        m.LpCount = 0;
    }
}

void frmMain::cmdCmdtst_Click()
{
    if (!ui->combCmd->currentText().isEmpty()) {
        m.CMDloopFlg = 1;
        return;
    }
    Beep();
    setResults(QStringLiteral(
            "No command specified.  Enter a command before starting the Command Loop"));
}

void frmMain::cmdCmdtstoff_Click()
{
    m.CMDloopFlg = 0;
    if (m.IDNTestFlg == 0) {
        ui->txtCount->setVisible(false);
        ui->lblCount->setVisible(false);
        m.LpCount = 0;
    }
}

void frmMain::sendQuickCommand(const QString &command)
{
    // The command goes into the box even while an exchange waits and the Send below is
    // refused: the box then holds what the next Send, or the command loop, will send.
    ui->combCmd->setEditText(command);
    cmdSend_Click();
}

void frmMain::cmdCLS_Click()
{
    sendQuickCommand(QStringLiteral("*CLS"));
}

void frmMain::cmdRST_Click()
{
    sendQuickCommand(QStringLiteral("*RST"));
}

void frmMain::sendControlChar(char code, const QString &confirmation)
{
    // Written at once, even while an exchange waits: the operator may need it to get a device
    // that echoes everything back to answering plainly.
    m.outMsg = FrameControlChar(code, m.addrMode, m.devAddr.toLatin1());
    // Say "sent" only when it was: a closed port has already been reported by the control.
    if (MSComm1->Output(m.outMsg))
        setResults(confirmation);
}

void frmMain::cmdE_Click()
{
    sendControlChar(Wire::CNTL_E, QStringLiteral("CNTL-E sent"));
}

void frmMain::cmdF_Click()
{
    sendControlChar(Wire::CNTL_F, QStringLiteral("CNTL-F sent"));
}

void frmMain::combCmd_KeyPress(int KeyAscii)
{
    if (KeyAscii == 13)
        cmdSend_Click();
}
