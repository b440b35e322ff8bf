#include "share/vxi11/vxi11server.h"

#include "share/rpc/rpcchannel.h"
#include "share/shareclients.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

using namespace std::chrono;
using Vxi11::Error;

namespace {

const QString kVxi11Protocol = QStringLiteral("VXI-11");

Error errorFor(LineAnswer::Status status)
{
    switch (status) {
    case LineAnswer::Status::Ok:
        return Error::None;
    case LineAnswer::Status::Timeout:
        return Error::IoTimeout;
    case LineAnswer::Status::DeviceError:
    case LineAnswer::Status::LineDown:
        return Error::IoError;
    }
    return Error::IoError;
}

// The client's message as the line takes it: the client's own line end goes, the served
// framing adds the line's.
QByteArray withoutLineEnd(QByteArray message)
{
    while (message.endsWith('\n') || message.endsWith('\r'))
        message.chop(1);
    return message;
}

} // namespace

Vxi11Server::Vxi11Server(SharedLine &line, ShareClients &clients,
        const QList<ServedDevice> &devices, const ShareLimits &limits, QObject *parent)
    : QObject(parent),
      m_line(line),
      m_clients(clients),
      m_devices(devices),
      m_limits(limits),
      m_core(new QTcpServer(this)),
      m_abort(new QTcpServer(this)),
      m_lockTimer(new QTimer(this))
{
    connect(m_core, &QTcpServer::newConnection, this, [this] { accept(m_core, false); });
    connect(m_abort, &QTcpServer::newConnection, this, [this] { accept(m_abort, true); });
    m_lockTimer->setSingleShot(true);
    connect(m_lockTimer, &QTimer::timeout, this, &Vxi11Server::wakeLockWaiters);
}

Vxi11Server::~Vxi11Server()
{
    while (!m_links.empty())
        destroy(m_links.begin()->first);
}

bool Vxi11Server::listen(
        const QHostAddress &address, quint16 corePort, quint16 abortPort, QString *error)
{
    for (auto [server, port, what] :
            {std::tuple{m_core, corePort, "core"}, std::tuple{m_abort, abortPort, "abort"}}) {
        if (!server->listen(address, port)) {
            if (error)
                *error = QStringLiteral("The VXI-11 %1 channel cannot listen on %2 port %3: %4")
                                 .arg(QLatin1String(what), address.toString())
                                 .arg(port)
                                 .arg(server->errorString());
            return false;
        }
    }
    return true;
}

quint16 Vxi11Server::corePort() const
{
    return m_core->serverPort();
}

quint16 Vxi11Server::abortPort() const
{
    return m_abort->serverPort();
}

void Vxi11Server::accept(QTcpServer *server, bool abortChannel)
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        // Refused in TCP's terms, the only ones a client has before its first call.
        if (!m_clients.admit(socket->peerAddress(), kVxi11Protocol)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        RpcChannel::Bounds bounds;
        bounds.maxRecordBytes = m_limits.maxMessageBytes + 1024; // the data and its arguments
        bounds.maxUnsentBytes = m_limits.maxUnsentBytes;
        bounds.idle = m_limits.idle;
        bounds.firstCall = m_limits.firstCall;
        auto *channel = new RpcChannel(socket,
                abortChannel ? Vxi11::AbortProgram : Vxi11::CoreProgram, Vxi11::ProgramVersion,
                abortChannel ? QStringLiteral("VXI-11 abort") : kVxi11Protocol, bounds, this);
        connect(channel, &RpcChannel::called, this,
                [this, channel, abortChannel](const Rpc::Call &call) {
                    if (abortChannel)
                        abort(channel, call);
                    else
                        dispatch(channel, call);
                });
        connect(channel, &RpcChannel::refused, this, [this, channel](const QString &why) {
            m_clients.refuse(QStringLiteral("rpc"), channel->peer() + u' ' + why, why);
        });
        connect(channel, &RpcChannel::closed, this, [this, channel] {
            channelClosed(channel);
            m_clients.connectionClosed();
            channel->deleteLater();
        });
    }
}

void Vxi11Server::dispatch(RpcChannel *channel, const Rpc::Call &call)
{
    using Vxi11::Procedure;
    switch (Procedure(call.procedure)) {
    case Procedure::CreateLink:
        return createLink(channel, call.arguments);
    case Procedure::DeviceWrite:
        return write(channel, call.arguments);
    case Procedure::DeviceRead:
        return read(channel, call.arguments);
    case Procedure::DeviceReadStb:
        return readStatusByte(channel, call.arguments);
    case Procedure::DeviceClear:
        return clear(channel, call.arguments);
    case Procedure::DeviceLock:
        return lock(channel, call.arguments);
    case Procedure::DeviceUnlock:
        return unlock(channel, call.arguments);
    case Procedure::DestroyLink:
        return destroyLink(channel, call.arguments);
    // A serial line has no trigger, no remote or local state, no service request to pass on.
    case Procedure::DeviceTrigger:
    case Procedure::DeviceRemote:
    case Procedure::DeviceLocal:
    case Procedure::DeviceEnableSrq:
    case Procedure::CreateInterruptChannel:
    case Procedure::DestroyInterruptChannel:
        return channel->reply(Vxi11::ErrorResult(Error::NotSupported));
    case Procedure::DeviceDocmd:
        return channel->reply(Vxi11::DocmdResult(Error::NotSupported));
    case Procedure::Abort:
        break;
    }
    channel->replyStatus(Rpc::AcceptStat::ProcedureUnavailable);
}

void Vxi11Server::abort(RpcChannel *channel, const Rpc::Call &call)
{
    if (call.procedure != quint32(Vxi11::Procedure::Abort))
        return channel->replyStatus(Rpc::AcceptStat::ProcedureUnavailable);
    const auto id = Vxi11::ReadLink(call.arguments);
    if (!id)
        return channel->replyStatus(Rpc::AcceptStat::GarbageArguments);
    const auto found = m_links.find(*id);
    if (found == m_links.end())
        return channel->reply(Vxi11::ErrorResult(Error::InvalidLink));
    Link &link = found->second;
    // The write waiting for the line is given up: the line never hears of it, or, already on
    // it, ends whole with nobody told.
    if (link.writing && link.channel) {
        m_line.cancel(link.asker.id);
        link.writing = false;
        link.channel->reply(Vxi11::WriteResult(Error::Abort, 0));
    }
    channel->reply(Vxi11::ErrorResult(Error::None));
}

Vxi11Server::Link *Vxi11Server::linkOf(
        RpcChannel *channel, qint32 id, const QByteArray &invalidResult)
{
    const auto found = m_links.find(id);
    if (found == m_links.end() || found->second.channel != channel) {
        channel->reply(invalidResult);
        return nullptr;
    }
    return &found->second;
}

void Vxi11Server::createLink(RpcChannel *channel, const QByteArray &arguments)
{
    const auto args = Vxi11::ReadCreateLink(arguments);
    if (!args)
        return channel->replyStatus(Rpc::AcceptStat::GarbageArguments);
    const QString name = QString::fromLatin1(args->device).trimmed().toLower();
    const auto device = std::find_if(m_devices.cbegin(), m_devices.cend(),
            [&](const ServedDevice &served) { return served.name == name; });
    if (device == m_devices.cend()) {
        // A bus address outside the bus is no address; another name is no device served here.
        const bool onBus = name.startsWith(QLatin1String("gpib0,"));
        bool number = false;
        const int address = name.mid(6).toInt(&number);
        const bool invalidAddress = onBus && (!number || address < 0 || address > 15);
        return channel->reply(Vxi11::CreateLinkResult(
                invalidAddress ? Error::InvalidAddress : Error::NotAccessible, 0, 0, 0));
    }
    const auto links = std::count_if(m_links.cbegin(), m_links.cend(),
            [channel](const auto &entry) { return entry.second.channel == channel; });
    if (links >= m_limits.maxLinksPerClient) {
        m_clients.refuse(QStringLiteral("links"), channel->peer(),
                QStringLiteral("Refused a link to VXI-11 client %1: it has %2 already.")
                        .arg(channel->peer())
                        .arg(m_limits.maxLinksPerClient));
        return channel->reply(Vxi11::CreateLinkResult(Error::OutOfResources, 0, 0, 0));
    }

    Link link;
    link.id = m_nextLink++;
    link.channel = channel;
    link.framing = device->framing;
    link.asker = m_clients.add(channel->peer(), kVxi11Protocol, device->name);
    const qint32 id = link.id;
    m_links.emplace(id, std::move(link));
    const QByteArray created = Vxi11::CreateLinkResult(
            Error::None, id, abortPort(), quint32(m_limits.maxMessageBytes));
    if (!args->lockDevice)
        return channel->reply(created);
    whenFree(m_links.at(id), Vxi11::WaitLock, args->lockTimeout, [this, id, created](bool free) {
        Link &link = m_links.at(id);
        const QPointer<RpcChannel> asked = link.channel;
        if (!free) {
            // A link refused its lock is no link.
            destroy(id);
            return asked->reply(Vxi11::CreateLinkResult(Error::Locked, 0, 0, 0));
        }
        takeLock(link);
        asked->reply(created);
    });
}

void Vxi11Server::write(RpcChannel *channel, const QByteArray &arguments)
{
    const auto args = Vxi11::ReadWrite(arguments, quint32(m_limits.maxMessageBytes));
    if (!args)
        return channel->replyStatus(Rpc::AcceptStat::GarbageArguments);
    Link *link = linkOf(channel, args->link, Vxi11::WriteResult(Error::InvalidLink, 0));
    if (!link)
        return;
    const qint32 id = link->id;
    whenFree(*link, args->flags, args->lockTimeout, [this, id, args = *args](bool free) {
        Link &link = m_links.at(id);
        if (!free)
            return link.channel->reply(Vxi11::WriteResult(Error::Locked, 0));
        if (link.partial.size() + args.data.size() > m_limits.maxMessageBytes) {
            link.partial.clear();
            return link.channel->reply(Vxi11::WriteResult(Error::OutOfResources, 0));
        }
        link.partial += args.data;
        const auto size = quint32(args.data.size());
        if (!(args.flags & Vxi11::End))
            return link.channel->reply(Vxi11::WriteResult(Error::None, size));

        LineQuery query;
        query.device = link.framing;
        query.message = withoutLineEnd(std::exchange(link.partial, QByteArray()));
        query.timeout = ioTimeout(args.ioTimeout);
        query.asker = link.asker;
        link.reply.clear();
        link.writing = true;
        m_line.query(query, [this, id, size, message = query.message](const LineAnswer &answer) {
            const auto found = m_links.find(id);
            if (found == m_links.end() || !found->second.writing || !found->second.channel)
                return;
            Link &done = found->second;
            done.writing = false;
            m_clients.counted(done.asker.id, message);
            Error error = errorFor(answer.status);
            if (error == Error::None && answer.replied) {
                // Kept for the reads that follow, ended as an instrument on the LAN
                // ends its reply.
                if (answer.reply.size() + 1 > m_limits.maxMessageBytes)
                    error = Error::IoError;
                else
                    done.reply = answer.reply + '\n';
            }
            done.channel->reply(Vxi11::WriteResult(error, error == Error::None ? size : 0));
        });
    });
}

void Vxi11Server::read(RpcChannel *channel, const QByteArray &arguments)
{
    const auto args = Vxi11::ReadRead(arguments);
    if (!args)
        return channel->replyStatus(Rpc::AcceptStat::GarbageArguments);
    Link *link = linkOf(channel, args->link, Vxi11::ReadResult(Error::InvalidLink, 0, {}));
    if (!link)
        return;
    const qint32 id = link->id;
    whenFree(*link, args->flags, args->lockTimeout, [this, id, args = *args](bool free) {
        Link &link = m_links.at(id);
        if (!free)
            return link.channel->reply(Vxi11::ReadResult(Error::Locked, 0, {}));
        // Nothing was asked, or all of it has been read: the instrument says nothing
        // more, and a read of it waits in vain.
        if (link.reply.isEmpty())
            return link.channel->reply(Vxi11::ReadResult(Error::IoTimeout, 0, {}));
        qsizetype size = std::min<qsizetype>(args.requestSize, link.reply.size());
        qint32 reason = 0;
        if (args.flags & Vxi11::TermCharSet) {
            const qsizetype at = link.reply.indexOf(args.termChar);
            if (at >= 0 && at < size) {
                size = at + 1;
                reason |= Vxi11::TermChar;
            }
        }
        const QByteArray data = link.reply.left(size);
        link.reply.remove(0, size);
        // The last piece carries END, even when it fills the request exactly.
        if (link.reply.isEmpty())
            reason |= Vxi11::EndReason;
        if (size == qsizetype(args.requestSize))
            reason |= Vxi11::RequestCount;
        link.channel->reply(Vxi11::ReadResult(Error::None, reason, data));
    });
}

void Vxi11Server::readStatusByte(RpcChannel *channel, const QByteArray &arguments)
{
    const auto args = Vxi11::ReadGeneric(arguments);
    if (!args)
        return channel->replyStatus(Rpc::AcceptStat::GarbageArguments);
    Link *link = linkOf(channel, args->link, Vxi11::ReadStbResult(Error::InvalidLink, 0));
    if (!link)
        return;
    const qint32 id = link->id;
    whenFree(*link, args->flags, args->lockTimeout, [this, id, args = *args](bool free) {
        Link &link = m_links.at(id);
        if (!free)
            return link.channel->reply(Vxi11::ReadStbResult(Error::Locked, 0));
        // The status byte as IEEE 488.2 gives it to a message: the answer to *STB?.
        LineQuery query;
        query.device = link.framing;
        query.message = "*STB?";
        query.readReply = true;
        query.timeout = ioTimeout(args.ioTimeout);
        query.asker = link.asker;
        link.writing = true;
        m_line.query(query, [this, id](const LineAnswer &answer) {
            const auto found = m_links.find(id);
            if (found == m_links.end() || !found->second.writing || !found->second.channel)
                return;
            Link &done = found->second;
            done.writing = false;
            m_clients.counted(done.asker.id, "*STB?");
            Error error = errorFor(answer.status);
            bool number = false;
            const uint value = answer.reply.trimmed().toUInt(&number);
            if (error == Error::None && (!number || value > 255))
                error = Error::IoError;
            done.channel->reply(
                    Vxi11::ReadStbResult(error, error == Error::None ? quint8(value) : 0));
        });
    });
}

void Vxi11Server::clear(RpcChannel *channel, const QByteArray &arguments)
{
    const auto args = Vxi11::ReadGeneric(arguments);
    if (!args)
        return channel->replyStatus(Rpc::AcceptStat::GarbageArguments);
    Link *link = linkOf(channel, args->link, Vxi11::ErrorResult(Error::InvalidLink));
    if (!link)
        return;
    const qint32 id = link->id;
    whenFree(*link, args->flags, args->lockTimeout, [this, id](bool free) {
        // What the link holds for the device and from it is forgotten; the line has no device
        // clear of its own to send.
        Link &link = m_links.at(id);
        if (!free)
            return link.channel->reply(Vxi11::ErrorResult(Error::Locked));
        link.partial.clear();
        link.reply.clear();
        link.channel->reply(Vxi11::ErrorResult(Error::None));
    });
}

void Vxi11Server::lock(RpcChannel *channel, const QByteArray &arguments)
{
    const auto args = Vxi11::ReadLock(arguments);
    if (!args)
        return channel->replyStatus(Rpc::AcceptStat::GarbageArguments);
    Link *link = linkOf(channel, args->link, Vxi11::ErrorResult(Error::InvalidLink));
    if (!link)
        return;
    // Locks do not nest: the holder asking again is refused as anyone else would be.
    if (m_lockLink == link->id)
        return channel->reply(Vxi11::ErrorResult(Error::Locked));
    const qint32 id = link->id;
    whenFree(*link, args->flags, args->lockTimeout, [this, id](bool free) {
        Link &link = m_links.at(id);
        if (!free)
            return link.channel->reply(Vxi11::ErrorResult(Error::Locked));
        takeLock(link);
        link.channel->reply(Vxi11::ErrorResult(Error::None));
    });
}

void Vxi11Server::unlock(RpcChannel *channel, const QByteArray &arguments)
{
    const auto id = Vxi11::ReadLink(arguments);
    if (!id)
        return channel->replyStatus(Rpc::AcceptStat::GarbageArguments);
    Link *link = linkOf(channel, *id, Vxi11::ErrorResult(Error::InvalidLink));
    if (!link)
        return;
    if (m_lockLink != link->id)
        return channel->reply(Vxi11::ErrorResult(Error::NoLockHeld));
    releaseLock(*link);
    channel->reply(Vxi11::ErrorResult(Error::None));
}

void Vxi11Server::destroyLink(RpcChannel *channel, const QByteArray &arguments)
{
    const auto id = Vxi11::ReadLink(arguments);
    if (!id)
        return channel->replyStatus(Rpc::AcceptStat::GarbageArguments);
    if (!linkOf(channel, *id, Vxi11::ErrorResult(Error::InvalidLink)))
        return;
    destroy(*id);
    channel->reply(Vxi11::ErrorResult(Error::None));
}

void Vxi11Server::whenFree(
        Link &link, qint32 flags, quint32 lockTimeout, std::function<void(bool)> then)
{
    if (!lockedOut(link))
        return then(true);
    if (!(flags & Vxi11::WaitLock) || lockTimeout == 0)
        return then(false);
    m_lockWaiters.append({link.id,
            steady_clock::now() + std::min(milliseconds(lockTimeout), m_limits.maxIoTimeout),
            std::move(then)});
    wakeLockWaiters();
}

void Vxi11Server::takeLock(Link &link)
{
    m_lockLink = link.id;
    m_line.lock(link.asker);
    m_clients.setLocked(link.asker.id, true);
}

void Vxi11Server::releaseLock(Link &link)
{
    if (m_lockLink != link.id)
        return;
    m_lockLink = 0;
    m_line.unlock(link.asker.id);
    m_clients.setLocked(link.asker.id, false);
    // Called from inside an answer: the waiters get their turn once it is sent.
    QMetaObject::invokeMethod(this, &Vxi11Server::wakeLockWaiters, Qt::QueuedConnection);
}

void Vxi11Server::wakeLockWaiters()
{
    const auto now = steady_clock::now();
    // In the order they came; the first one let through may take the lock from the rest.
    const QList<LockWaiter> waiters = std::exchange(m_lockWaiters, {});
    for (const LockWaiter &waiter : waiters) {
        const auto found = m_links.find(waiter.link);
        if (found == m_links.end() || !found->second.channel)
            continue;
        if (!lockedOut(found->second))
            waiter.then(true);
        else if (waiter.deadline <= now)
            waiter.then(false);
        else
            m_lockWaiters.append(waiter);
    }
    m_lockTimer->stop();
    if (m_lockWaiters.isEmpty())
        return;
    auto next = m_lockWaiters.first().deadline;
    for (const LockWaiter &waiter : std::as_const(m_lockWaiters))
        next = std::min(next, waiter.deadline);
    m_lockTimer->start(duration_cast<milliseconds>(next - now) + milliseconds(1));
}

void Vxi11Server::destroy(qint32 id)
{
    const auto found = m_links.find(id);
    if (found == m_links.end())
        return;
    Link &link = found->second;
    releaseLock(link);
    m_line.cancel(link.asker.id);
    m_clients.remove(link.asker.id);
    m_links.erase(found);
}

void Vxi11Server::channelClosed(RpcChannel *channel)
{
    // A client gone mid-exchange or holding the lock loses both; the line goes on.
    QList<qint32> gone;
    for (const auto &[id, link] : m_links)
        if (link.channel == channel || !link.channel)
            gone.append(id);
    for (qint32 id : gone)
        destroy(id);
}

milliseconds Vxi11Server::ioTimeout(quint32 clientMs) const
{
    return std::min(milliseconds(clientMs), m_limits.maxIoTimeout);
}
