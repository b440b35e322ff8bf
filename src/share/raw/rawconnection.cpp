#include "share/raw/rawconnection.h"

#include "share/shareclients.h"

#include <QTcpSocket>
#include <QTimer>

namespace {
const QString kRawProtocol = QStringLiteral("SOCKET");
// A raw socket has no timeout of its own to offer: the line's bounds end the exchange first.
constexpr std::chrono::milliseconds kRawTimeout{10000};
// What is read from a client at a time.
constexpr qint64 kRawChunk = qint64(64) * 1024;
} // namespace

RawConnection::RawConnection(QTcpSocket *socket, SharedLine &line, ShareClients &clients,
        const ServedDevice &device, const ShareLimits &limits, QObject *parent)
    : QObject(parent),
      m_socket(socket),
      m_line(line),
      m_clients(clients),
      m_device(device),
      m_limits(limits),
      m_idle(new QTimer(this))
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(kRawChunk);
    m_asker = m_clients.add(
            m_socket->peerAddress().toString() + u':' + QString::number(m_socket->peerPort()),
            kRawProtocol, device.name);
    m_idle->setSingleShot(true);
    connect(m_idle, &QTimer::timeout, this, [this] {
        using namespace std::chrono;
        const auto quiet = duration_cast<milliseconds>(steady_clock::now() - m_lastActivity);
        if (m_asking || quiet < m_limits.idle) {
            m_idle->start(m_asking ? milliseconds(m_limits.idle) : m_limits.idle - quiet);
            return;
        }
        close(QStringLiteral("SOCKET client %1 sent nothing for %2 s: disconnected.")
                        .arg(m_asker.address)
                        .arg(m_limits.idle.count()));
    });
    m_lastActivity = std::chrono::steady_clock::now();
    m_idle->start(m_limits.idle);
    connect(m_socket, &QTcpSocket::readyRead, this, &RawConnection::readLines);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] { close(); });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] { close(); });
}

RawConnection::~RawConnection()
{
    m_line.drop(m_asker.id);
    m_clients.remove(m_asker.id);
}

void RawConnection::readLines()
{
    while (!m_closed && !m_asking && m_socket) {
        const qsizetype end = m_partial.indexOf('\n');
        if (end < 0) {
            if (m_partial.size() > m_limits.maxMessageBytes) {
                close(QStringLiteral("SOCKET client %1 sent a line of more than %2 bytes: "
                                     "disconnected.")
                                .arg(m_asker.address)
                                .arg(m_limits.maxMessageBytes));
                return;
            }
            const QByteArray more = m_socket->read(kRawChunk);
            if (more.isEmpty())
                return;
            m_lastActivity = std::chrono::steady_clock::now();
            m_partial += more;
            continue;
        }
        QByteArray message = m_partial.left(end);
        m_partial.remove(0, end + 1);
        while (message.endsWith('\r'))
            message.chop(1);
        if (message.isEmpty())
            continue;
        LineQuery query;
        query.device = m_device.framing;
        query.message = message;
        query.timeout = kRawTimeout;
        query.asker = m_asker;
        m_asking = true;
        m_line.query(query,
                [this, message](const LineAnswer &answer) { this->answer(message, answer); });
    }
}

void RawConnection::answer(const QByteArray &message, const LineAnswer &answer)
{
    m_asking = false;
    m_clients.counted(m_asker.id, message);
    // A query whose reply did not come answers nothing, as an instrument would; the client's
    // own timeout says so.
    if (answer.status == LineAnswer::Status::Ok && answer.replied && m_socket) {
        m_socket->write(answer.reply + '\n');
        m_socket->flush(); // the client waits for it
        if (m_socket->bytesToWrite() > m_limits.maxUnsentBytes) {
            close(QStringLiteral("SOCKET client %1 does not read its replies: disconnected.")
                            .arg(m_asker.address));
            return;
        }
    }
    QMetaObject::invokeMethod(this, &RawConnection::readLines, Qt::QueuedConnection);
}

void RawConnection::close(const QString &why)
{
    if (std::exchange(m_closed, true))
        return;
    m_idle->stop();
    if (!why.isEmpty())
        m_clients.refuse(QStringLiteral("raw"), m_asker.address + u' ' + why, why);
    m_line.drop(m_asker.id);
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    emit closed();
}
