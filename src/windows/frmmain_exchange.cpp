// Send and Read: the exchange of one command with the device.

#include "line/linemessages.h"
#include "line/linewait.h"
#include "line/serialcontrol.h"
#include "protocol/framing.h"
#include "protocol/replyformat.h"
#include "ui_frmmain.h"
#include "windows/frmmain.h"

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
    // A closed or lost port is refused as Send refuses it, so the message that explained the
    // loss is replaced by one that says what to press, not by "Rx buffer empty".
    if (!MSComm1->PortOpen()) {
        reportError(PortNotOpenMessage(QStringLiteral("nothing was read")));
        return;
    }
    LineWait::Exchange exchange(*m_lineWait);
    readResponse();
}

void frmMain::sendCommand()
{
    hideError();
    // Whatever waits in the buffer is stale: it would be taken for the reply to this command.
    MSComm1->Input();
    MSComm1->takeDroppedCount();
    const QString typed = ui->combCmd->currentText();
    if (m.lastCmd.isEmpty() && typed.isEmpty()) {
        reportError(QStringLiteral("Nothing to send"));
        return;
    }
    const bool addressed = m.addrMode || m.packetMode;
    if (!m.AddrSetFlg && addressed) {
        reportError(QStringLiteral("Missing a device address"));
        return;
    }
    const QString command = typed.isEmpty() ? m.lastCmd : typed;
    if (!FitsOnLine(command)) {
        reportError(QStringLiteral("Cannot send: the command holds a character outside the 8-bit "
                                   "range (codes 0 to 255). Nothing was sent."));
        return;
    }
    if (!MSComm1->PortOpen()) {
        reportError(PortNotOpenMessage(QStringLiteral("nothing was sent")));
        return;
    }

    // An empty box repeats the previous command, and shows it again.
    if (typed.isEmpty())
        ui->combCmd->setEditText(m.lastCmd);
    m.lastCmd = command;
    m.outMsg = FrameMessage(command.toLatin1(), m.addrMode, m.packetMode, m.devAddr.toLatin1(),
            checked(ui->ckCR), checked(ui->ckLF));
    // The framed message is tested, not the typed text: a '?' in the address or in the
    // checksum byte makes a query too.
    const bool query = m.outMsg.contains(Wire::QueryMark);
    const bool readFollows = (query && checked(ui->ckAuto)) || checked(ui->ckRead) || m.packetMode;
    // "Sent" stays in the box only when no Read follows: a Read clears the box before the
    // window could draw anything, so it goes straight to empty.
    setResults(readFollows ? QString() : QStringLiteral("Sent ") + command);
    MSComm1->Output(m.outMsg);
    m.QueryFlg = query ? 1 : 0;

    if (readFollows) {
        readResponse();
    } else if (checked(ui->ckPrompt)) {
        // A Velk interface says it is ready for the next message with '>'; what comes before
        // it is of no interest here.
        QByteArray discarded;
        if (m_lineWait->waitFor(discarded, Wire::Prompt, kPromptPolls) == LineWait::End::OutOfPolls)
            reportError(kPromptMissing);
    }
    // Otherwise the reply waits in the buffer for Read, or for the next Send to discard it.
}

void frmMain::readResponse()
{
    hideError();
    // "Read Req'd after Send" asks for one read after the next Send; it is spent now.
    ui->ckRead->setChecked(false);
    // What the device sent while no exchange was waiting, beyond what was kept, is gone; this
    // Read, which shows what was kept, says so once.
    const qint64 dropped = MSComm1->takeDroppedCount();

    char terminator = 0;
    if (checked(ui->ckLF))
        terminator = Wire::LF;
    else if (checked(ui->ckCR))
        terminator = Wire::CR;

    QByteArray received;
    LineWait::End end = m_lineWait->waitFor(received, terminator, kTerminatorPolls);
    if (end != LineWait::End::PortClosed && checked(ui->ckPrompt)) {
        end = m_lineWait->waitFor(received, Wire::Prompt, kPromptPolls);
        // Carry on: what did arrive is still worth showing.
        if (end == LineWait::End::OutOfPolls)
            reportError(kPromptMissing);
    }

    // The device may still be sending the tail of its reply.
    Tdelay(kSettleSeconds);
    m_lineWait->drain(received, kDrainPolls);

    ReplyDisplayOptions options;
    // Unlike the other boxes, "Display All Characters" counts as on in any state but
    // unchecked, a partially checked box included.
    options.displayAll = ui->ckDispAll->checkState() != Qt::Unchecked;
    options.packetMode = m.packetMode;
    options.lastWasQuery = m.QueryFlg == 1;
    options.showCount = checked(ui->ckByteCnt);
    options.lineBreak = m.crlf.toLatin1();
    const ReplyDisplay display = FormatReply(received, options);
    setResults(QString::fromLatin1(display.results));
    for (int i = 0; i < display.beeps; ++i)
        Beep();
    // Last, so that no later message hides it: a device that talks on its own is the likely
    // cause of whatever else went wrong here, a missing prompt included.
    if (dropped > 0)
        reportError(InputOverflowMessage(dropped));
    emit replyRead(received, m_duringLoopTick);
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
    const auto wakeAt
            = duration_cast<nanoseconds>((until - kSpinStretch).time_since_epoch()).count();
    if (wakeAt > duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count()) {
        const timespec at{
                static_cast<time_t>(wakeAt / 1000000000), static_cast<long>(wakeAt % 1000000000)};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) { }
    }
#endif
    while (steady_clock::now() < until) { }
}
