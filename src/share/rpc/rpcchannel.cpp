#include "share/rpc/rpcchannel.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {
// What is read from a client at a time, and held of what it sent beyond the call in hand.
constexpr qint64 kChannelChunk = qint64(64) * 1024;
} // namespace

RpcChannel::RpcChannel(QTcpSocket *socket, quint32 program, quint32 version, const QString &name,
        const Bounds &bounds, QObject *parent)
    : QObject(parent),
      m_socket(socket),
      m_program(program),
      m_version(version),
      m_name(name),
      m_bounds(bounds),
      m_reader(bounds.maxRecordBytes),
      m_idle(new QTimer(this))
{
    m_socket->setParent(this);
    m_peer = m_socket->peerAddress().toString() + u':' + QString::number(m_socket->peerPort());
    // Read no further ahead than a record: the rest waits in the kernel and the client's window.
    m_socket->setReadBufferSize(kChannelChunk);
    m_idle->setSingleShot(true);
    connect(m_idle, &QTimer::timeout, this, &RpcChannel::idleTimerFired);
    connect(m_socket, &QTcpSocket::readyRead, this, &RpcChannel::readCalls);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] { close(); });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] { close(); });
    restartIdle();
}

RpcChannel::~RpcChannel() = default;

void RpcChannel::restartIdle()
{
    m_lastActivity = std::chrono::steady_clock::now();
    if (!m_idle->isActive())
        m_idle->start(m_called ? m_bounds.idle : m_bounds.firstCall);
}

void RpcChannel::idleTimerFired()
{
    using namespace std::chrono;
    const milliseconds bound = m_called ? m_bounds.idle : m_bounds.firstCall;
    const auto quiet = duration_cast<milliseconds>(steady_clock::now() - m_lastActivity);
    // A call in hand is no idleness: it is bounded by the time the line gives it.
    if (m_inHand || quiet < bound) {
        m_idle->start(m_inHand ? bound : bound - quiet);
        return;
    }
    close(m_called ? QStringLiteral("%1 client %2 asked nothing for %3 s: disconnected.")
                             .arg(m_name, m_peer)
                             .arg(m_bounds.idle.count() / 1000)
                   : QStringLiteral("%1 client %2 sent no call in %3 s: disconnected.")
                             .arg(m_name, m_peer)
                             .arg(m_bounds.firstCall.count() / 1000));
}

void RpcChannel::readCalls()
{
    while (!m_closed && !m_inHand && m_socket) {
        if (m_reader.recordReady()) {
            const auto read = Rpc::ReadCall(m_reader.takeRecord());
            if (const auto *refusal = std::get_if<Rpc::Refusal>(&read)) {
                if (refusal->kind == Rpc::Refusal::Kind::Unreadable) {
                    close(QStringLiteral("%1 client %2 sent %3: disconnected.")
                                    .arg(m_name, m_peer, refusal->what));
                    return;
                }
                emit refused(QStringLiteral("%1 client %2 sent %3: refused.")
                                     .arg(m_name, m_peer, refusal->what));
                send(Rpc::DeniedReply(*refusal));
                continue;
            }
            const Rpc::Call &call = std::get<Rpc::Call>(read);
            // From the first call on, the idle bound counts instead of the first call's.
            if (!std::exchange(m_called, true))
                m_idle->start(m_bounds.idle);
            m_lastActivity = std::chrono::steady_clock::now();
            m_inHand = call.xid;
            if (call.program != m_program) {
                replyStatus(Rpc::AcceptStat::ProgramUnavailable);
                continue;
            }
            if (call.version != m_version) {
                send(Rpc::AcceptedReply(
                        call.xid, Rpc::AcceptStat::ProgramMismatch, {}, m_version, m_version));
                answered();
                continue;
            }
            emit called(call);
            continue;
        }
        if (m_reader.refusal()) {
            close(QStringLiteral("%1 client %2 sent %3: disconnected.")
                            .arg(m_name, m_peer, *m_reader.refusal()));
            return;
        }
        const qsizetype wanted = std::min<qsizetype>(m_reader.wanted(), kChannelChunk);
        if (wanted <= 0 || m_socket->bytesAvailable() == 0)
            return;
        char buffer[kChannelChunk];
        const qint64 got = m_socket->read(buffer, wanted);
        if (got <= 0)
            return;
        m_reader.take(buffer, got);
    }
}

void RpcChannel::reply(const QByteArray &results)
{
    if (!m_inHand)
        return;
    send(Rpc::AcceptedReply(*m_inHand, Rpc::AcceptStat::Success, results));
    answered();
}

void RpcChannel::replyStatus(Rpc::AcceptStat status)
{
    if (!m_inHand)
        return;
    send(Rpc::AcceptedReply(*m_inHand, status));
    answered();
}

void RpcChannel::answered()
{
    m_inHand.reset();
    restartIdle();
    // The next call may be waiting already: read once this reply's caller is done. Otherwise
    // its bytes announce it.
    if (m_reader.recordReady() || (m_socket && m_socket->bytesAvailable() > 0))
        QMetaObject::invokeMethod(this, &RpcChannel::readCalls, Qt::QueuedConnection);
}

void RpcChannel::send(const QByteArray &record)
{
    if (m_closed || !m_socket)
        return;
    m_socket->write(Rpc::RecordMarked(record));
    // On its way now rather than at the event loop's next turn: the client waits for it.
    m_socket->flush();
    if (m_socket->bytesToWrite() > m_bounds.maxUnsentBytes)
        close(QStringLiteral("%1 client %2 does not read its replies: disconnected.")
                        .arg(m_name, m_peer));
}

void RpcChannel::close(const QString &why)
{
    if (std::exchange(m_closed, true))
        return;
    m_idle->stop();
    if (!why.isEmpty())
        emit refused(why);
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    emit closed();
}
