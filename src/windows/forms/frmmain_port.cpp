// Initialize COM Port, Exit, and opening an instrument found by Find Instruments.

#include "line/linehold.h"
#include "line/port/portbinding.h"
#include "line/port/serialcontrol.h"
#include "line/scan/instrumentscan.h"
#include "line/session/linesession.h"
#include "ui_frmmain.h"
#include "windows/forms/frmmain.h"
#include "windows/forms/frmports.h"

#include <QButtonGroup>

void frmMain::cmdInit_Click()
{
    if (m_portChoiceDue)
        return; // pressed again before the port window could open
    // The port is closed while the operator chooses, so that a new baud rate or another COM
    // port takes effect when it is opened again. A lost port is no longer waited for: the
    // operator chooses afresh.
    m_afterOpen = nullptr;
    if (MSComm1->state() != SerialControl::State::Closed)
        MSComm1->setPortOpen(false);
    if (exchangeInProgress()) {
        m_portChoiceDue = true;
        // Pressed while a Send or Read waits (a loop's tick, most often), the close before it has
        // just ended that wait; the port window opens once the wait has returned. Opened inside
        // it, it would hold the wait, and the tick that started it, until the operator is done:
        // no tick could run and the loop count would stand still while the port window shows.
        m_session->hold().whenFree(this, [this] { choosePort(); });
        return;
    }
    choosePort();
}

void frmMain::choosePort()
{
    m_portChoiceDue = false;
    m_ports->exec();

    const PortChoice &choice = m_ports->choice();
    if (choice.comPort == 0) {
        reportError(QStringLiteral("No COM Port Selected"));
        return;
    }
    openChosenPort();
}

bool frmMain::openChosenPort(const std::function<void()> &then)
{
    const PortChoice &choice = m_ports->choice();
    hideError();
    m_session->setComPort(choice.comPort);
    m_session->setSettings(choice.commSettings);
    MSComm1->setInputLen(0);
    m_afterOpen = then;
    // A network line or a binding by identity opens later: portOpened() follows then, and a
    // failure is told by the serial control, like any other.
    if (!m_session->open() && MSComm1->state() != SerialControl::State::Opening) {
        m_afterOpen = nullptr;
        return false;
    }
    return true;
}

void frmMain::portOpened()
{
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
    // What the line could not promise (a network port the baud rate cannot reach, settings the
    // server would not confirm) stays in view, without a beep: the port did open.
    if (!MSComm1->openNotice().isEmpty())
        showError(MSComm1->openNotice());
    if (auto then = std::exchange(m_afterOpen, nullptr))
        then();
}

void frmMain::useFoundInstrument(int comPort, const FoundInstrument &instrument)
{
    if (m_portChoiceDue)
        return; // a port choice is pending already
    // As Initialize does: the port is closed first, and a Send or Read that waited on it has to
    // return before the new one opens.
    m_afterOpen = nullptr;
    if (MSComm1->state() != SerialControl::State::Closed)
        MSComm1->setPortOpen(false);
    if (exchangeInProgress()) {
        m_portChoiceDue = true;
        m_session->hold().whenFree(this, [this, comPort, instrument] {
            m_portChoiceDue = false;
            useFoundInstrument(comPort, instrument);
        });
        return;
    }
    if (!m_ports->choose(comPort, instrument.baudRate)) {
        reportError(QStringLiteral("%1 baud is not a rate the port window offers")
                            .arg(instrument.baudRate.value_or(0)));
        return;
    }
    SetComPortOverride(comPort, instrument.binding);
    openChosenPort([this, instrument] {
        optProt->button(int(instrument.protocol))->setChecked(true); // raises optProt_Click
        // The line end that drew an answer, as a click on each box would leave it.
        if (!instrument.terminator.isEmpty()) {
            ui->ckCR->setChecked(instrument.terminator.contains(Wire::CR));
            ui->ckLF->setChecked(instrument.terminator.contains(Wire::LF));
        }
        if (instrument.protocol != Framing::Protocol::Off && instrument.address >= 0) {
            ui->txtAddr->setText(QString::number(instrument.address));
            cmdSet_Click();
        }
    });
}

void frmMain::cmdExit_Click()
{
    if (m_ports && m_ports->choice().comPort != 0)
        MSComm1->setPortOpen(false);
    endProcess();
}
