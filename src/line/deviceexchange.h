#pragma once

#include "line/linewait.h"
#include "protocol/replyformat.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

class SerialControl;

// Everything one Send or Read depends on, taken once when it starts. A choice the operator
// makes while the exchange waits (another framing, a box ticked) applies to the next one, so a
// reply is always judged in the framing it was asked in.
struct ExchangeSettings
{
    bool addrMode = false;
    bool packetMode = false;
    QByteArray devAddr = "4"; // the committed address
    bool addCR = false;
    bool addLF = true;
    bool autoQuery = true; // a framed message with '?' is followed by a read
    bool readRequired = false; // "Read Req'd after Send": read once after this send
    bool prompt = true; // wait for the Velk prompt
    bool displayAll = false;
    bool showCount = false;
    QByteArray lineBreak = "\r\n"; // between the lines of the results box
    // The command is already the whole frame (a recorded one replayed byte for byte): no
    // framing and no terminator are added. What follows it still goes by the settings above.
    bool unframed = false;

    // The byte a read waits for: LF when LF is sent, else CR when CR is, else anything.
    char terminator() const;
};

// One command as it goes on the line, and what follows it.
struct SentFrame
{
    QByteArray frame;
    bool query = false; // the framed message holds a '?'
    bool readFollows = false;
};

// What the operator is told about a reply larger than LineWait::ReplyCapBytes.
QString ReplyCutMessage();

struct ReplyOutcome
{
    LineWait::Reply wait; // the bytes, how the waits ended, whether the prompt was missing
    // Bytes dropped while no exchange waited, before this read; the read says so once.
    qint64 droppedBefore = 0;
    ReplyDisplay display; // the results text and its beeps
};

struct SendOutcome
{
    SentFrame sent;
    bool written = false;
    bool promptMissing = false; // only when no read followed
    std::optional<ReplyOutcome> reply; // when a read followed
};

// The exchange of one command with the device: framing, the write, the reply wait, the settle,
// the drain and the reply check. The window's Send and Read and a script run without a window
// both go through it, so they cannot drift apart. It checks nothing the caller must refuse
// first (empty command, missing address, closed port): those messages are the caller's.
class DeviceExchange
{
public:
    DeviceExchange(SerialControl &line, LineWait &wait);

    // What waits in the buffer is stale: it would be taken for the reply to the next command.
    void discardStale();

    // The frame and whether a read follows it, without touching the line.
    static SentFrame frame(const ExchangeSettings &settings, const QByteArray &command);

    // Writes the command and then reads the reply, or waits for the prompt, as `settings` say.
    // `framed` runs once the frame is known and before it is written, so the caller can show
    // what is about to happen before the wait begins.
    SendOutcome send(const ExchangeSettings &settings, const QByteArray &command,
            const std::function<void(const SentFrame &)> &framed = {});

    // Reads and judges a reply. `lastWasQuery` labels an ACK payload as a response.
    ReplyOutcome read(const ExchangeSettings &settings, bool lastWasQuery);

private:
    SerialControl &m_line;
    LineWait &m_wait;
};
