// Send and Read: the exchange of one command with the device.

#include "framing.h"
#include "mainwin/frmmain.h"
#include "port/serialcontrol.h"
#include "replyformat.h"
#include "ui_frmmain.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>

using namespace std::chrono;

namespace {

// Each poll of a wait lasts at least this long. The waits are counted in polls; without a floor
// their length would shrink with every faster machine until a normal device looked silent.
constexpr auto kPollPeriod = microseconds(100);
// The longest single sleep on an idle line, in poll periods (2 ms).
constexpr int kMaxIdlePeriods = 20;

constexpr int kPromptPolls = 10000;
constexpr int kTerminatorPolls = 30000;
constexpr int kDrainPolls = 1000;
constexpr double kSettleSeconds = 0.02;

const QString kPromptMissing = QStringLiteral(
        "Prompt not found. Uncheck Next Msg Prompt box if communicating with a non-Velk device");

} // namespace

// Only one exchange may wait on the line at a time: the waits let clicks and timer ticks run,
// and a nested Send would take the reply its outer Read is waiting for.
class ExchangeGuard
{
public:
    explicit ExchangeGuard(frmMain &window) : m_window(window)
    {
        m_window.m_exchangeBusy = true;
        emit m_window.exchangeStarted();
    }
    ~ExchangeGuard()
    {
        m_window.m_exchangeBusy = false;
        emit m_window.exchangeFinished();
    }
    ExchangeGuard(const ExchangeGuard &) = delete;
    ExchangeGuard &operator=(const ExchangeGuard &) = delete;

private:
    frmMain &m_window;
};

void frmMain::cmdSend_Click()
{
    if (m_exchangeBusy)
        return;
    ExchangeGuard guard(*this);
    sendCommand();
}

void frmMain::cmdRead_Click()
{
    if (m_exchangeBusy)
        return;
    ExchangeGuard guard(*this);
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
        if (waitFor(discarded, Wire::Prompt, kPromptPolls) == WaitEnd::OutOfPolls) {
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

    WaitEnd end = waitFor(received, terminator, kTerminatorPolls);         // 3
    if (end != WaitEnd::PortClosed && checked(ui->ckPrompt)) {             // 4
        end = waitFor(received, Wire::Prompt, kPromptPolls);
        if (end == WaitEnd::OutOfPolls) {
            showError(kPromptMissing);
            Beep();
        }
    }

    Tdelay(kSettleSeconds);                                                // 5

    for (int count = 0, periods = 0;;) {                                   // 6
        // One period at most per drain poll: usually nothing is left, and this is the wait
        // every exchange pays.
        received += pollSerial(periods, 1);
        count += periods;
        if (MSComm1->InBufferCount() == 0 || count > kDrainPolls)
            break;
    }

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

QByteArray frmMain::pollSerial(int &periods, int periodsLeft)
{
    // Polls keep to one 100 us grid: a sleep that overshoots (a wake-up is never exact) is made
    // up by a shorter one next, so a wait of N periods lasts N periods. After a stall longer than
    // a period, or at the start of a new wait, the grid starts afresh.
    const auto now = steady_clock::now();
    auto periodEnd = m_pollPeriodEnd + kPollPeriod;
    if (periodEnd <= now - kPollPeriod || periodEnd > now + kPollPeriod)
        periodEnd = now + kPollPeriod;
    const auto periodStart = periodEnd - kPollPeriod;

    QCoreApplication::processEvents();
    QByteArray arrived = MSComm1->Input();
    periods = 1;
    if (arrived.isEmpty()) {
        // An idle line may be slept on for several periods at once, each counting as one poll:
        // 10,000 wake-ups a second would cost a fifth of a core on their own. A byte still
        // ends the sleep at once, and events are still handled every 2 ms.
        const int idle = std::clamp(periodsLeft, 1, kMaxIdlePeriods);
        MSComm1->waitForInput(periodStart + idle * kPollPeriod);
        const auto slept = steady_clock::now() - periodStart;
        periods = std::clamp(int((slept + kPollPeriod - nanoseconds(1)) / kPollPeriod), 1, idle);
    }
    m_pollPeriodEnd = periodStart + periods * kPollPeriod;
    return arrived;
}

// Polls until `wanted` has been received (0: until anything has), for at most maxCount + 1
// poll periods. A byte that arrived before this wait counts as well. Ends early when the port
// goes away, since nothing more can arrive then.
frmMain::WaitEnd frmMain::waitFor(QByteArray &received, char wanted, int maxCount)
{
    auto satisfied = [&](qsizetype from) {
        return wanted == 0 ? !received.isEmpty() : received.indexOf(wanted, from) >= 0;
    };
    int periods = 0;
    if (wanted != 0 && satisfied(0)) {
        // Still one poll, as the counted loop always makes at least one.
        received += pollSerial(periods, 1);
        return WaitEnd::Found;
    }
    for (int count = 0;;) {
        const qsizetype searchFrom = received.size();
        received += pollSerial(periods, maxCount + 1 - count);
        count += periods;
        if (satisfied(searchFrom))
            return WaitEnd::Found;
        if (!MSComm1->PortOpen())
            return WaitEnd::PortClosed;
        if (count > maxCount)
            return WaitEnd::OutOfPolls;
    }
}

void frmMain::Tdelay(double delaytime)
{
    // A spin on purpose: the settle must not let other handlers run.
    const auto start = steady_clock::now();
    const auto until = start + duration_cast<steady_clock::duration>(duration<double>(delaytime));
    while (steady_clock::now() < until) {
    }
}
