#include "line/transport/tcptransport.h"

#include "line/transport/networkmessages.h"

#include <algorithm>
#include <utility>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
// Longer than this, what a server says before it closes is no short line of text.
constexpr int ServerWordsLimit = 80;
// What is kept of it: enough to tell a short line of text from more.
constexpr int ServerWordsKept = 2 * ServerWordsLimit;
} // namespace

TcpTransport::TcpTransport(int comPort, const LineAddress &address, QObject *parent)
    : LineTransport(comPort, address, parent)
{
    m_socket.setReadBufferSize(SocketBufferBytes);
    m_openTimer.setSingleShot(true);
    connect(&m_openTimer, &QTimer::timeout, this, &TcpTransport::giveUpOpening);
    // The second handle is taken as the connection is attempted: a server that accepts and
    // resets at once may be reported before the socket says it connected.
    connect(&m_socket, &QAbstractSocket::stateChanged, this,
            [this](QAbstractSocket::SocketState state) {
                if (state == QAbstractSocket::ConnectingState && opening())
                    holdOpeningDescriptor();
            });
    connect(&m_socket, &QTcpSocket::connected, this, &TcpTransport::connectionMade);
    connect(&m_socket, &QTcpSocket::readyRead, this, &TcpTransport::socketReadable);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &TcpTransport::handleSocketError);
    connect(&m_socket, &QTcpSocket::disconnected, this, &TcpTransport::handleDisconnect);
}

TcpTransport::~TcpTransport()
{
    m_socket.disconnect(this);
    m_socket.abort();
    releaseOpeningDescriptor();
}

void TcpTransport::holdOpeningDescriptor()
{
#ifdef Q_OS_LINUX
    releaseOpeningDescriptor();
    m_openingDescriptor = ::fcntl(int(m_socket.socketDescriptor()), F_DUPFD_CLOEXEC, 0);
#endif
}

void TcpTransport::releaseOpeningDescriptor()
{
#ifdef Q_OS_LINUX
    if (m_openingDescriptor >= 0)
        ::close(std::exchange(m_openingDescriptor, -1));
#endif
}

void TcpTransport::startOpen(const SerialSettings &settings)
{
    beginOpen();
    m_settings = settings;
    m_settingsText = settings.text();
    m_openClock.start();
    m_openTimer.start(OpenTimeoutMs);
    m_socket.connectToHost(address().host, address().port);
}

int TcpTransport::openTimeLeftMs() const
{
    return std::max(0, OpenTimeoutMs - int(m_openClock.elapsed()));
}

void TcpTransport::tuneSocket()
{
    // Commands and replies are small and an operator waits for each; Nagle's delay would
    // only add to every exchange.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A server that vanishes without closing (power cut, pulled cable) sends nothing more;
    // probes find that out in about half a minute rather than the system's two hours.
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const auto fd = int(m_socket.socketDescriptor());
    const int idleSeconds = 15, probeSeconds = 5, probes = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &probeSeconds, sizeof probeSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
}

void TcpTransport::connectionMade()
{
    tuneSocket();
    setOpenNotice(RawSocketBaudNotice(comPort(), binding(), m_settings.baudRate));
    // A serial server that cannot serve us (another client has the instrument) accepts, says
    // so and closes at once. Open only once it has had the time to, so that a busy port fails
    // to open, as it does on every other kind of line, instead of opening and being lost.
    QTimer::singleShot(RawSettleMs, this, &TcpTransport::becomeOpen);
}

void TcpTransport::becomeOpen()
{
    if (!opening())
        return;
    m_openTimer.stop();
    releaseOpeningDescriptor();
    QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    finishOpen(true);
    // Whatever came with the connection is there to read now; said once the owner has taken
    // the line as open, so that its transcript shows the opening first.
    QMetaObject::invokeMethod(
            this,
            [this] {
                if (isOpen() && bytesAvailable() > 0)
                    emit readyRead();
            },
            Qt::QueuedConnection);
}

void TcpTransport::giveUpOpening()
{
    if (!opening())
        return;
    m_socket.abort();
    releaseOpeningDescriptor();
    finishOpen(false, failure(LineError::NoAnswer));
}

bool TcpTransport::applySettings(const SerialSettings &settings)
{
    if (!isOpen())
        return false;
    m_settings = settings;
    m_settingsText = settings.text();
    emit notice(RawSocketBaudNotice(comPort(), binding(), settings.baudRate));
    return true;
}

void TcpTransport::socketReadable()
{
    if (isOpen())
        emit readyRead();
    else if (opening())
        m_openingWords = m_socket.peek(ServerWordsKept);
}

QByteArray TcpTransport::unreadData()
{
    // Only ever wanted for the server's parting words, a short line.
    return m_socket.isReadable() ? m_socket.peek(ServerWordsKept) : m_openingWords;
}

bool TcpTransport::serverAnswered() const
{
#ifdef Q_OS_LINUX
    // A refused connection brings nothing back but the reset, so no round trip was ever timed;
    // one that was accepted timed the server's answer to our opening.
    tcp_info info{};
    socklen_t size = sizeof info;
    return m_openingDescriptor >= 0
            && ::getsockopt(m_openingDescriptor, IPPROTO_TCP, TCP_INFO, &info, &size) == 0
            && info.tcpi_rtt > 0;
#else
    return false;
#endif
}

QByteArray TcpTransport::peekSystemBuffer() const
{
#ifdef Q_OS_LINUX
    if (m_openingDescriptor < 0)
        return {};
    char words[ServerWordsKept];
    const ssize_t n = ::recv(m_openingDescriptor, words, sizeof words, MSG_PEEK | MSG_DONTWAIT);
    return n > 0 ? QByteArray(words, qsizetype(n)) : QByteArray();
#else
    return {};
#endif
}

void TcpTransport::handleSocketError(QAbstractSocket::SocketError error)
{
    if (opening()) {
        LineError why = LineError::Other;
        switch (error) {
        case QAbstractSocket::HostNotFoundError:
            why = LineError::HostNotFound;
            break;
        case QAbstractSocket::ConnectionRefusedError:
            // A connection accepted and reset at once reads as a refusal to the socket; the
            // server did listen, and closed on us.
            why = serverAnswered() ? LineError::ClosedByServer : LineError::Refused;
            break;
        case QAbstractSocket::SocketTimeoutError:
            why = LineError::NoAnswer;
            break;
        case QAbstractSocket::NetworkError:
            why = LineError::Unreachable;
            break;
        case QAbstractSocket::RemoteHostClosedError:
            why = LineError::ClosedByServer;
            break;
        default:
            break;
        }
        QString detail = m_socket.errorString();
        if (why == LineError::ClosedByServer) {
            // The server's own words, when they are a short line of text.
            detail = QString::fromLatin1(unreadData()).trimmed();
            const bool printable = std::all_of(detail.cbegin(), detail.cend(),
                    [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7F; });
            if (!printable || detail.size() > ServerWordsLimit)
                detail.clear();
        }
        m_openTimer.stop();
        m_socket.abort();
        releaseOpeningDescriptor();
        finishOpen(false, failure(why, detail));
        return;
    }
    reportLoss(m_socket.errorString());
}

void TcpTransport::handleDisconnect()
{
    if (opening()) {
        handleSocketError(QAbstractSocket::RemoteHostClosedError);
        return;
    }
    reportLoss(QStringLiteral("the server closed the connection"));
}

void TcpTransport::close()
{
    m_openTimer.stop();
    // Neither opening nor open any more, so what the abort raises is neither a failure to
    // open nor a loss.
    finishOpen(false);
    if (isOpen())
        QIODevice::close();
    m_socket.abort();
    releaseOpeningDescriptor();
}

qint64 TcpTransport::bytesAvailable() const
{
    return m_socket.bytesAvailable() + QIODevice::bytesAvailable();
}

void TcpTransport::startTransfer()
{
    m_socket.flush();
}

bool TcpTransport::takeWaiting(std::chrono::microseconds wait)
{
#ifdef Q_OS_UNIX
    // Asked only when the socket has something: a wait that ends empty is a time-out error,
    // which an open line would take for its loss.
    if (isOpen() && m_socket.state() == QAbstractSocket::ConnectedState
            && descriptorReadable(m_socket.socketDescriptor(), wait))
        m_socket.waitForReadyRead(0);
    return true;
#else
    Q_UNUSED(wait);
    return false;
#endif
}

qint64 TcpTransport::readData(char *data, qint64 maxSize)
{
    // The socket closes itself when the server hangs up, before the loss is reported.
    return m_socket.isReadable() ? m_socket.read(data, maxSize) : 0;
}

qint64 TcpTransport::writeData(const char *data, qint64 size)
{
    return m_socket.write(data, size);
}
