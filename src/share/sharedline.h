#pragma once

#include "protocol/framing.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// Who asks the line for an exchange: what the recorder, the Share window and a refusal name.
struct LineAsker
{
    quint64 id = 0; // one per client (a VXI-11 link, a raw socket), never reused; 0: nobody
    QString address; // the client's, "127.0.0.1:40112"
    QString protocol; // "VXI-11" or "SOCKET"
    QString device; // "inst0", "gpib0,3"

    // "127.0.0.1:40112 VXI-11 gpib0,3"
    QString describe() const;
};

// How a served device is reached on the line: its framing (protocol, address, CR/LF) and
// whether the interface says '>' when it is ready for the next message.
struct ServedFraming
{
    Framing framing;
    bool prompt = true;
};

// One exchange a client asks for.
struct LineQuery
{
    ServedFraming device;
    QByteArray message; // the client's message, its own terminator taken off
    // A reply is read even where the line's rule would not read one (a message without '?').
    bool readReply = false;
    // The client's time: the answer comes by then, whatever the line is doing.
    std::chrono::milliseconds timeout{3000};
    LineAsker asker;
};

struct LineAnswer
{
    enum class Status {
        Ok,
        Timeout, // nothing complete came in the client's time or the line's
        DeviceError, // a NAK, a bad or missing checksum, a reply too large to keep
        LineDown, // the port is closed or went away
    };
    Status status = Status::Ok;
    bool replied = false; // a reply was read for the client
    QByteArray reply; // the payload: no terminator, no prompt, no packet frame
    QString detail; // what went wrong, in the operator's words; empty when nothing did
};

// The line as the clients on the network share it. Exchanges go onto the line one at a time,
// whole, in the order they were asked for; while one client holds the lock only its exchanges
// go, and everyone else's wait their turn (or their time). The served protocols use nothing
// else of the line.
class SharedLine : public QObject
{
    Q_OBJECT

public:
    using Done = std::function<void(const LineAnswer &)>;

    explicit SharedLine(QObject *parent = nullptr) : QObject(parent) { }

    // Queues `query`; `done` is called once, never from inside this call.
    virtual void query(const LineQuery &query, Done done) = 0;

    // Takes the line for `holder` alone; false when another holds it.
    virtual bool lock(const LineAsker &holder) = 0;
    // Releases the lock when `holderId` holds it.
    virtual void unlock(quint64 holderId) = 0;
    virtual std::optional<LineAsker> lockHolder() const = 0;

    // Forgets the asker's exchanges: their `done` is never called. One already on the line ends
    // whole, and nobody hears of it.
    virtual void cancel(quint64 askerId) = 0;
    // A client that has gone: cancel() and unlock().
    void drop(quint64 askerId)
    {
        cancel(askerId);
        unlock(askerId);
    }

signals:
    // The lock was taken or released; lockHolder() says by whom.
    void lockChanged();
    // An exchange of `asker` ended (any status): for the list of clients.
    void answered(const LineAsker &asker, const QByteArray &message, const LineAnswer &answer);
};
