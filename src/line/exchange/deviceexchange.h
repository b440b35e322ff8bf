#pragma once

#include "line/exchange/linewait.h"
#include "protocol/framing.h"
#include "protocol/replyformat.h"
#include "protocol/replyreading.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <utility>

class SerialControl;
struct AddressEntry;

// Everything one exchange depends on, taken once when it starts. A choice the operator makes
// while the exchange waits (another framing, a box ticked) applies to the next one, so a reply
// is always judged in the framing it was asked in.
struct ExchangeSettings
{
    Framing framing;
    bool addressSet = false; // an address has been committed; the Addr and Packet framings need one
    bool autoQuery = true; // a framed message with '?' is followed by a read
    bool readRequired = false; // "Read Req'd after Send": read once after this send
    bool prompt = true; // wait for the Velk prompt
    bool displayAll = false;
    bool showCount = false;
    QByteArray lineBreak = "\r\n"; // between the lines of the results box
    // The command is already the whole frame (a recorded one replayed byte for byte): no
    // framing and no terminator are added. What follows it still goes by the settings above.
    bool unframed = false;
    // How long the reply is given to finish after its end has come. A network client's
    // exchange ends as its reply does: what straggles after it is drained before the next write.
    double settleSeconds = LineWait::SettleSeconds;
};

// Every way an exchange is refused or goes wrong. The window and a script run only present
// them, through DescribeExchangeProblem, so both say the same thing for the same fault.
enum class ExchangeError {
    // Refused before anything reaches the line.
    NothingToSend,
    MissingAddress,
    CommandOutsideByteRange,
    PortClosedForSend,
    PortClosedForRead,
    AddressOutOfRange,
    AddressOutsideByteRange,
    LineLocked, // a network client has the line to itself; `holder` says who
    // Found in what came back, or did not.
    PromptMissing,
    InputOverflow,
    ReplyCut, // larger than LineWait::ReplyCapBytes
};

struct ExchangeProblem
{
    // A constructor rather than an aggregate: most problems name only their error.
    ExchangeProblem(ExchangeError error = ExchangeError::NothingToSend, qint64 droppedBytes = 0,
            bool reopening = false, QString holder = {})
        : error(error), droppedBytes(droppedBytes), reopening(reopening), holder(std::move(holder))
    { }

    ExchangeError error = ExchangeError::NothingToSend;
    qint64 droppedBytes = 0; // InputOverflow: what was lost before the read
    bool reopening = false; // PortClosedFor...: the lost port waits to be reopened by itself
    QString holder; // LineLocked: who holds the line, in the operator's words
};

// The operator's words for `problem`.
QString DescribeExchangeProblem(const ExchangeProblem &problem);

// One command as it goes on the line, and what follows it.
struct SentFrame
{
    QByteArray frame;
    bool query = false; // the framed message holds a '?'
    bool readFollows = false;
};

// What the operator is told about a reply larger than LineWait::ReplyCapBytes.
struct ReplyOutcome
{
    LineWait::Reply wait; // the bytes, how the waits ended, whether the prompt was missing
    ReplyDisplay display; // the results text and its beeps
    ReplyReading reading; // what the reply says, in the framing it was asked in
    // The display went to the early-display callback and the drain left it as it was.
    bool displayedEarly = false;
    // In the order they are told: a missing prompt, a reply cut at its cap, then input dropped
    // before this read, the
    // likely cause of whatever else went wrong, so that nothing said later hides it.
    QList<ExchangeProblem> problems;
};

struct SendOutcome
{
    std::optional<ExchangeProblem> refusal; // set when nothing was framed or written
    SentFrame sent;
    bool written = false;
    std::optional<ReplyOutcome> reply; // when a read followed
    QList<ExchangeProblem> problems; // everything found after the write, the reply's included
};

// The rule book of one exchange with the device, and its carrying out: what is refused before
// a send, the framing, the write, the reply wait, the settle, the drain, the reply check and
// what is wrong with the reply. The window's Send and Read and a script run without a window
// all go through it, so they cannot drift apart.
class DeviceExchange
{
public:
    DeviceExchange(SerialControl &line, LineWait &wait);

    // Why `command` may not be sent with `settings` on any line: nothing to send, no committed
    // address where the framing needs one, or a character that no byte carries.
    static std::optional<ExchangeError> commandRefusal(
            const ExchangeSettings &settings, const QString &command);
    // Why an address typed by the operator may not be committed.
    static std::optional<ExchangeError> addressRefusal(const AddressEntry &entry);
    // A read needs an open port.
    std::optional<ExchangeProblem> readRefusal() const;

    // The frame and whether a read follows it, without touching the line.
    static SentFrame frame(const ExchangeSettings &settings, const QByteArray &command);

    // Discards what waits in the buffer (it would be taken for the reply to this command, and
    // goes even when the send is refused), checks every refusal, then writes the command and
    // reads the reply or waits for the prompt, as `settings` say. `framed` runs once the frame
    // is known and before it is written, so the caller can show what is about to happen before
    // the wait begins.
    SendOutcome send(const ExchangeSettings &settings, const QString &command,
            const std::function<void(const SentFrame &)> &framed = {});

    // Reads and judges a reply. `lastWasQuery` labels an ACK payload as a response.
    ReplyOutcome read(const ExchangeSettings &settings, bool lastWasQuery);

    // Gets the display of a short reply as the settle begins, while the reply is fresh in the
    // caches and in time the settle spends waiting anyway. Nothing can be drawn before the
    // settle ends, so a window that shows it then shows it no sooner to the operator.
    void setEarlyDisplay(std::function<void(const ReplyDisplay &)> show)
    {
        m_earlyDisplay = std::move(show);
    }

private:
    SerialControl &m_line;
    LineWait &m_wait;
    std::function<void(const ReplyDisplay &)> m_earlyDisplay;
};
