// Initialize COM Port and Exit.

#include "frmports.h"
#include "mainwin/frmmain.h"
#include "serialcontrol.h"
#include "ui_frmmain.h"

void frmMain::cmdInit_Click()
{
    // The port is closed while the operator chooses, so that a new baud rate or another COM
    // port takes effect when it is opened again.
    if (MSComm1->PortOpen())
        MSComm1->setPortOpen(false);
    if (!m_ports)
        m_ports = new frmPorts(this);
    m_ports->exec();

    if (m_ports->comPort == 0) {
        reportError(QStringLiteral("No COM Port Selected"));
        return;
    }
    ui->cmdInit->setEnabled(true);
    hideError();
    MSComm1->setCommPort(m_ports->comPort);
    MSComm1->setSettings(m_ports->commSettings);
    MSComm1->setInputLen(0);
    if (!MSComm1->setPortOpen(true))
        return; // the serial control has told the operator why
    MSComm1->setRTSEnable(true);
    MSComm1->setDTREnable(true);
    for (QPushButton *button : deviceButtons())
        button->setEnabled(true);
    // A fresh start on the new line: nothing shown, and no previous command to repeat.
    setResults(QString());
    m.lastCmd.clear();
    activateWindow(); // back from the port window, whatever the window manager does
    ui->combCmd->setFocus();
    ui->txtError->clear();
    hideError();
}

void frmMain::cmdExit_Click()
{
    if (m_ports && m_ports->comPort != 0)
        MSComm1->setPortOpen(false);
    endProcess();
}
