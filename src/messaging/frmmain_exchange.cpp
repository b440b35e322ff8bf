// Send and Read: the exchange of one command with the device.

#include "framing.h"
#include "mainwin/frmmain.h"
#include "port/linewait.h"
#include "port/serialcontrol.h"
#include "replyformat.h"
#include "ui_frmmain.h"

#include <QCoreApplication>

#include <chrono>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <time.h>
#endif

using namespace std::chrono;

namespace {

constexpr int kPromptPolls = 10000;
constexpr int kTerminatorPolls = 30000;
constexpr int kDrainPolls = 1000;
constexpr double kSettleSeconds = 0.02;

const QString kPromptMissing = QStringLiteral(
        "Prompt not found. Uncheck Next Msg Prompt box if communicating with a non-Velk device");

} // namespace

void frmMain::cmdSend_Click()
{
    if (m_lineWait->busy())
        return;
    LineWait::Exchange exchange(*m_lineWait);
    sendCommand();
}

void frmMain::cmdRead_Click()
{
    if (m_lineWait->busy())
        return;
    LineWait::Exchange exchange(*m_lineWait);
    readResponse();
}

void frmMain::refuseSend(const QString &message)
{
    Beep();
    showError(message);
}

bool frmMain::addressFitsOnLine()
{
    if (FitsOnLine(m.devAddr))
        return true;
    refuseSend(QStringLiteral("Cannot send: the device address holds a character outside the "
                              "8-bit range (codes 0 to 255). Set the address again."));
    return false;
}

void frmMain::sendCommand()
{
    hideError();                                                           // 1
    MSComm1->Input();                                                      // 2
    const QString typed = ui->combCmd->currentText();
    if (m.lastCmd.isEmpty() && typed.isEmpty()) {                          // 3
        refuseSend(QStringLiteral("Nothing to send"));
        return;
    }
    const bool addressed = m.addrMode || m.packetMode;
    if (!m.AddrSetFlg && addressed) {                                      // 4
        refuseSend(QStringLiteral("Missing a device address"));
        return;
    }
    const QString command = typed.isEmpty() ? m.lastCmd : typed;
    if (!FitsOnLine(command)) {
        refuseSend(QStringLiteral("Cannot send: the command holds a character outside the 8-bit "
                                  "range (codes 0 to 255). Nothing was sent."));
        return;
    }
    if (addressed && !addressFitsOnLine())
        return;
    if (!MSComm1->PortOpen()) {
        refuseSend(QStringLiteral("COM port not open: nothing was sent. Press \"Initialize COM "
                                  "Port\" first."));
        return;
    }

    if (typed.isEmpty())                                                   // 5
        ui->combCmd->setEditText(m.lastCmd);
    m.lastCmd = command;                                                   // 6
    m.outMsg = command.toLatin1();
    setResults(QStringLiteral("Sent ") + command);                         // 7
    m.outMsg = FrameMessage(m.outMsg, m.addrMode, m.packetMode, m.devAddr.toLatin1(), // 8
                            checked(ui->ckCR), checked(ui->ckLF));
    MSComm1->Output(m.outMsg);                                             // 9
    m.QueryFlg = m.outMsg.contains(Wire::QueryMark) ? 1 : 0;               // 10

    if ((m.QueryFlg == 1 && checked(ui->ckAuto)) || checked(ui->ckRead)) { // 11a
        setResults(QString());
        readResponse();
    } else if (m.packetMode) {                                             // 11b
        setResults(QString());
        readResponse();
    } else if (checked(ui->ckPrompt)) {                                    // 11c
        QByteArray discarded;
        if (m_lineWait->waitFor(discarded, Wire::Prompt, kPromptPolls) == LineWait::End::OutOfPolls) {
            showError(kPromptMissing);
            Beep();
        }
    }                                                                      // 11d: nothing
}

void frmMain::readResponse()
{
    hideError();                                                           // 1
    QByteArray received;
    ui->ckRead->setChecked(false);

    char terminator = 0;                                                   // 2
    if (checked(ui->ckLF))
        terminator = Wire::LF;
    else if (checked(ui->ckCR))
        terminator = Wire::CR;

    LineWait::End end = m_lineWait->waitFor(received, terminator, kTerminatorPolls); // 3
    if (end != LineWait::End::PortClosed && checked(ui->ckPrompt)) {       // 4
        end = m_lineWait->waitFor(received, Wire::Prompt, kPromptPolls);
        if (end == LineWait::End::OutOfPolls) {
            showError(kPromptMissing);
            Beep();
        }
    }

    Tdelay(kSettleSeconds);                                                // 5

    m_lineWait->drain(received, kDrainPolls);                              // 6

    ReplyDisplayOptions options;                                           // 7-11
    options.displayAll = ui->ckDispAll->checkState() != Qt::Unchecked;
    options.packetMode = m.packetMode;
    options.lastWasQuery = m.QueryFlg == 1;
    options.showCount = checked(ui->ckByteCnt);
    const ReplyDisplay display = FormatReply(received, options);
    setResults(QString::fromLatin1(display.results));
    for (int i = 0; i < display.beeps; ++i)
        Beep();
}

void frmMain::Tdelay(double delaytime)
{
    // The settle lets no other handler run: it never returns to the event loop. It sleeps on the
    // monotonic clock for most of the time, so a loop running all night does not keep a core
    // busy, and spins only the last stretch, since a sleeping thread wakes a little late.
    const auto start = steady_clock::now();
    if (!(delaytime > 0))
        return;
    const auto until = start + duration_cast<steady_clock::duration>(duration<double>(delaytime));
#ifdef Q_OS_UNIX
    constexpr auto kSpinStretch = microseconds(150);
    const auto wakeAt = duration_cast<nanoseconds>((until - kSpinStretch).time_since_epoch()).count();
    if (wakeAt > duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count()) {
        const timespec at{static_cast<time_t>(wakeAt / 1000000000), static_cast<long>(wakeAt % 1000000000)};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }
#endif
    while (steady_clock::now() < until) {
    }
}
