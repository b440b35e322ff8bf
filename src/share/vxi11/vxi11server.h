#pragma once

#include "share/sharedline.h"
#include "share/sharesettings.h"
#include "share/vxi11/vxi11protocol.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <map>

class QTcpServer;
class QTimer;
class RpcChannel;
class ShareClients;
namespace Rpc {
struct Call;
}

// The VXI-11 core and abort channels, on Qt's event loop: links to the served devices, their
// writes and reads through the shared line, their locks. A write ends when its exchange does,
// its reply kept for the reads that follow; what the line says goes back as the protocol's
// errors (a silent device as an I/O timeout within the client's time, a NAK or bad checksum as
// an I/O error, another link's lock as "device locked"). Operations a serial line has no
// counterpart for (trigger, remote, local, service requests, docmd) answer "not supported".
class Vxi11Server : public QObject
{
    Q_OBJECT

public:
    Vxi11Server(SharedLine &line, ShareClients &clients, const QList<ServedDevice> &devices,
            const ShareLimits &limits, QObject *parent = nullptr);
    ~Vxi11Server() override;

    // Listens for both channels; false with `error` when either port cannot be had.
    bool listen(const QHostAddress &address, quint16 corePort, quint16 abortPort, QString *error);
    quint16 corePort() const;
    quint16 abortPort() const;

private:
    struct Link
    {
        qint32 id = 0;
        QPointer<RpcChannel> channel;
        LineAsker asker;
        ServedFraming framing;
        QByteArray partial; // a message whose end has not come yet
        QByteArray reply; // what the client has not read yet
        bool writing = false; // its write waits for the line
    };
    struct LockWaiter
    {
        qint32 link = 0;
        std::chrono::steady_clock::time_point deadline;
        std::function<void(bool free)> then;
    };

    void accept(QTcpServer *server, bool abortChannel);
    void dispatch(RpcChannel *channel, const Rpc::Call &call);
    void abort(RpcChannel *channel, const Rpc::Call &call);

    void createLink(RpcChannel *channel, const QByteArray &arguments);
    void write(RpcChannel *channel, const QByteArray &arguments);
    void read(RpcChannel *channel, const QByteArray &arguments);
    void readStatusByte(RpcChannel *channel, const QByteArray &arguments);
    void clear(RpcChannel *channel, const QByteArray &arguments);
    void lock(RpcChannel *channel, const QByteArray &arguments);
    void unlock(RpcChannel *channel, const QByteArray &arguments);
    void destroyLink(RpcChannel *channel, const QByteArray &arguments);

    // The channel's link `id`; null, with "invalid link" answered, when it has none such.
    Link *linkOf(RpcChannel *channel, qint32 id, const QByteArray &invalidResult);
    // Runs `then(true)` once no other link holds the lock: at once, or after waiting up to
    // `lockTimeout` when `flags` ask to wait; `then(false)` when it cannot. Not run at all when
    // the link goes meanwhile.
    void whenFree(Link &link, qint32 flags, quint32 lockTimeout, std::function<void(bool)> then);
    bool lockedOut(const Link &link) const { return m_lockLink != 0 && m_lockLink != link.id; }
    void takeLock(Link &link);
    void releaseLock(Link &link);
    void wakeLockWaiters();
    void destroy(qint32 id);
    void channelClosed(RpcChannel *channel);
    std::chrono::milliseconds ioTimeout(quint32 clientMs) const;

    SharedLine &m_line;
    ShareClients &m_clients;
    QList<ServedDevice> m_devices;
    ShareLimits m_limits;
    QTcpServer *m_core;
    QTcpServer *m_abort;
    std::map<qint32, Link> m_links;
    qint32 m_nextLink = 1;
    qint32 m_lockLink = 0; // the link that holds the lock, 0 for none
    QList<LockWaiter> m_lockWaiters;
    QTimer *m_lockTimer;
};
