// The timer-driven test loops and the one-click commands.

#include "line/exchange/deviceexchange.h"
#include "line/exchange/linewait.h"
#include "line/port/serialcontrol.h"
#include "protocol/framing.h"
#include "ui_frmmain.h"
#include "windows/forms/frmmain.h"
#include "windows/forms/testloops.h"

void frmMain::setUpLoops()
{
    m_loops = new TestLoops(MSComm1, this);
    connect(m_loops, &TestLoops::idnStepDue, this, &frmMain::sendIdnQuery);
    connect(m_loops, &TestLoops::commandStepDue, this, &frmMain::sendLoopCommand);
    connect(m_loops, &TestLoops::counted, this, &frmMain::showCount);
    connect(m_loops, &TestLoops::countHidden, this, &frmMain::hideCount);
}

QTimer *frmMain::timer() const
{
    return m_loops->Timer1();
}

void frmMain::optTime_Click(int Index)
{
    m_loops->choosePeriod(Index);
}

void frmMain::Timer1_Timer()
{
    m_loops->tick();
}

void frmMain::sendIdnQuery()
{
    ui->combCmd->setEditText(QStringLiteral("*IDN?"));
    cmdSend_Click();
}

void frmMain::sendLoopCommand()
{
    // With both loops on, the IDN step has just put "*IDN?" into the box, so it goes twice.
    if (ui->combCmd->currentText().isEmpty()) {
        reportError(QStringLiteral("Command box empty"));
        return;
    }
    hideError();
    cmdSend_Click();
}

void frmMain::showCount(qint64 count)
{
    ui->txtCount->setVisible(true);
    ui->lblCount->setVisible(true);
    ui->txtCount->setText(QString::number(count));
}

void frmMain::hideCount(bool withLabel)
{
    ui->txtCount->setVisible(false);
    if (withLabel)
        ui->lblCount->setVisible(false);
}

void frmMain::cmdIDNTst_Click()
{
    ui->combCmd->setEditText(QStringLiteral("*idn?"));
    m_loops->start(TestLoops::Loop::Idn);
}

void frmMain::cmdIDNtstoff_Click()
{
    m_loops->stop(TestLoops::Loop::Idn);
}

void frmMain::cmdCmdtst_Click()
{
    if (!ui->combCmd->currentText().isEmpty()) {
        m_loops->start(TestLoops::Loop::Command);
        return;
    }
    Beep();
    setResults(QStringLiteral(
            "No command specified.  Enter a command before starting the Command Loop"));
}

void frmMain::cmdCmdtstoff_Click()
{
    m_loops->stop(TestLoops::Loop::Command);
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
    // Say "sent" only when it was: a closed port has already been reported by the control.
    if (MSComm1->Output(exchangeSettings().framing.controlFrame(code)))
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
