// Initialize COM Port and Exit.

#include "frmports.h"
#include "mainwin/frmmain.h"
#include "serialcontrol.h"
#include "ui_frmmain.h"

void frmMain::cmdInit_Click()
{
    if (MSComm1->PortOpen())                                               // 1
        MSComm1->setPortOpen(false);
    if (!m_ports)                                                          // 2
        m_ports = new frmPorts(this);
    m_ports->exec();

    if (m_ports->comPort == 0) {                                           // 4
        ui->txtError->setPlainText(QStringLiteral("No COM Port Selected"));
        Beep();
        ui->txtError->setVisible(true);
        return;
    }
    ui->cmdInit->setEnabled(true);                                         // 3.1
    hideError();
    MSComm1->setCommPort(m_ports->comPort);                                // 3.2
    MSComm1->setSettings(m_ports->commSettings);                           // 3.3
    MSComm1->setInputLen(0);                                               // 3.4
    if (!MSComm1->setPortOpen(true))                                       // 3.5
        return; // the serial control has told the operator why
    MSComm1->setRTSEnable(true);                                           // 3.6
    MSComm1->setDTREnable(true);                                           // 3.7
    for (QPushButton *button : deviceButtons())                            // 3.8
        button->setEnabled(true);
    setResults(QString());                                                 // 3.9
    m.lastCmd.clear();
    activateWindow(); // back from the port window, whatever the window manager does
    ui->combCmd->setFocus();                                               // 3.10
    ui->txtError->clear();                                                 // 3.11
    hideError();
}

void frmMain::cmdExit_Click()
{
    if (m_ports && m_ports->comPort != 0)
        MSComm1->setPortOpen(false);
    endProcess();
}
