#pragma once

#include "share/rpc/rpcmessage.h"
#include "share/rpc/rpcrecordreader.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <optional>

class QTcpSocket;
class QTimer;

// One client's TCP connection to an RPC program: calls are read one at a time, and the next only
// once the one in hand is answered, so a client that sends faster than it is answered waits in
// its own TCP window. What the program cannot take (another version, another program, an
// unreadable call) is answered here in RPC's terms; a call too large for the bound, a client that
// leaves its replies unread, or one that asks nothing for too long, is disconnected.
class RpcChannel : public QObject
{
    Q_OBJECT

public:
    struct Bounds
    {
        qsizetype maxRecordBytes = 0;
        qsizetype maxUnsentBytes = 0;
        std::chrono::milliseconds idle{0};
        std::chrono::milliseconds firstCall{0};
    };

    // Takes `socket` over; `name` ("VXI-11", "VXI-11 abort") for the operator.
    RpcChannel(QTcpSocket *socket, quint32 program, quint32 version, const QString &name,
            const Bounds &bounds, QObject *parent = nullptr);
    ~RpcChannel() override;

    // "127.0.0.1:40112"
    QString peer() const { return m_peer; }
    QString name() const { return m_name; }
    // The call in hand, if one is.
    std::optional<quint32> callInHand() const { return m_inHand; }

    // Answers the call in hand with its results, or with an error of RPC's own.
    void reply(const QByteArray &results);
    void replyStatus(Rpc::AcceptStat status);
    // Disconnects; `why`, when given, is told to the operator.
    void close(const QString &why = {});

signals:
    void called(const Rpc::Call &call);
    // Something the client did that the operator should know of (then it is disconnected).
    void refused(const QString &why);
    void closed();

private:
    void readCalls();
    void send(const QByteArray &record);
    void answered();
    // A call ended or came: the idle time counts from now. The timer is not touched for it (each
    // start or stop of a timer costs the event loop a wake-up); when it fires, it looks.
    void restartIdle();
    void idleTimerFired();

    QPointer<QTcpSocket> m_socket;
    quint32 m_program;
    quint32 m_version;
    QString m_name;
    QString m_peer;
    Bounds m_bounds;
    RpcRecordReader m_reader;
    QTimer *m_idle;
    std::chrono::steady_clock::time_point m_lastActivity;
    std::optional<quint32> m_inHand;
    bool m_called = false; // a call has come
    bool m_closed = false;
};
