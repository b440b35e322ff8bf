#include "tcptransport.h"

#include "networkmessages.h"

#include <algorithm>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

TcpTransport::TcpTransport(int comPort, const QString &binding, QObject *parent)
    : LineTransport(comPort, binding, parent)
{
    m_socket.setReadBufferSize(SocketBufferBytes);
    m_openTimer.setSingleShot(true);
    connect(&m_openTimer, &QTimer::timeout, this, &TcpTransport::giveUpOpening);
    connect(&m_socket, &QTcpSocket::connected, this, &TcpTransport::connectionMade);
    connect(&m_socket, &QTcpSocket::readyRead, this, &TcpTransport::socketReadable);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &TcpTransport::handleSocketError);
    connect(&m_socket, &QTcpSocket::disconnected, this, &TcpTransport::handleDisconnect);
}

TcpTransport::~TcpTransport()
{
    m_socket.disconnect(this);
    m_socket.abort();
}

void TcpTransport::startOpen(const SerialSettings &settings)
{
    beginOpen();
    m_settings = settings;
    m_settingsText = settings.text();
    const NetworkBinding address = ParseNetworkBinding(binding());
    if (!address.valid) {
        finishOpen(false,
                DescribeNetworkOpenFailure(
                        comPort(), binding(), NetworkOpenError::BadAddress, {}, 0));
        return;
    }
    m_host = address.host;
    m_port = address.port;
    m_openClock.start();
    m_openTimer.start(OpenTimeoutMs);
    m_socket.connectToHost(m_host, m_port);
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
    becomeOpen();
}

void TcpTransport::becomeOpen()
{
    if (!opening())
        return;
    m_openTimer.stop();
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
    finishOpen(false,
            DescribeNetworkOpenFailure(
                    comPort(), binding(), NetworkOpenError::NoAnswer, m_host, m_port));
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

QByteArray TcpTransport::unreadData()
{
    // Only ever wanted for the server's parting words, a short line.
    return m_socket.isReadable() ? m_socket.peek(256) : QByteArray();
}

void TcpTransport::socketReadable()
{
    if (isOpen())
        emit readyRead();
}

void TcpTransport::handleSocketError(QAbstractSocket::SocketError error)
{
    if (opening()) {
        NetworkOpenError why = NetworkOpenError::Other;
        switch (error) {
        case QAbstractSocket::HostNotFoundError:
            why = NetworkOpenError::HostNotFound;
            break;
        case QAbstractSocket::ConnectionRefusedError:
            why = NetworkOpenError::Refused;
            break;
        case QAbstractSocket::SocketTimeoutError:
            why = NetworkOpenError::NoAnswer;
            break;
        case QAbstractSocket::NetworkError:
            why = NetworkOpenError::Unreachable;
            break;
        case QAbstractSocket::RemoteHostClosedError:
            why = NetworkOpenError::ClosedByServer;
            break;
        default:
            break;
        }
        QString detail = m_socket.errorString();
        if (why == NetworkOpenError::ClosedByServer) {
            // The server's own words, when they are a short line of text.
            detail = QString::fromLatin1(unreadData()).trimmed();
            const bool printable = std::all_of(detail.cbegin(), detail.cend(),
                    [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7F; });
            if (!printable || detail.size() > 80)
                detail.clear();
        }
        m_openTimer.stop();
        m_socket.abort();
        finishOpen(false,
                DescribeNetworkOpenFailure(comPort(), binding(), why, m_host, m_port, detail));
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
}

qint64 TcpTransport::bytesAvailable() const
{
    return m_socket.bytesAvailable() + QIODevice::bytesAvailable();
}

void TcpTransport::startTransfer()
{
    m_socket.flush();
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
