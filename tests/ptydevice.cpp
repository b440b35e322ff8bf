#include "ptydevice.h"

#include "line/port/portbinding.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyDevice::PtyDevice(QObject *parent) : QObject(parent)
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        qFatal("openpty failed: %s", strerror(errno));
    m_path = QString::fromLocal8Bit(name);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Raw from the start, so nothing written before the application opens the port is echoed.
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PtyDevice::readAvailable);
    m_pacer = new QTimer(this);
    connect(m_pacer, &QTimer::timeout, this, [this] {
        if (m_paced.isEmpty()) {
            m_pacer->stop();
            return;
        }
        m_pending += m_paced.front();
        m_paced.remove(0, 1);
        writePending();
    });
}

PtyDevice::~PtyDevice()
{
    if (m_sender.joinable())
        m_sender.join();
    hangUp();
    if (m_slave >= 0)
        ::close(m_slave);
}

void PtyDevice::bindTo(int comPort) const
{
    qputenv(ComPortVariable(comPort).toLatin1().constData(), m_path.toLocal8Bit());
}

void PtyDevice::readAvailable()
{
    char buffer[65536];
    QByteArray chunk;
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        chunk.append(buffer, n);
    }
    if (chunk.isEmpty())
        return;
    m_received += chunk;
    if (onReceived)
        onReceived(chunk);
}

bool PtyDevice::waitForReceived(qsizetype count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_received.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd watched{m_master, POLLIN, 0};
        ::poll(&watched, 1, 2);
        readAvailable();
    }
    return m_received.size() >= count;
}

void PtyDevice::send(const QByteArray &bytes, int delayMs, int baud)
{
    auto start = [this, bytes, baud] {
        if (baud > 0) {
            m_paced += bytes;
            m_pacer->start(qMax(1, 10000 / baud));
        } else {
            m_pending += bytes;
            writePending();
        }
    };
    if (delayMs > 0)
        QTimer::singleShot(delayMs, this, start);
    else
        start();
}

void PtyDevice::sendFromThread(const QByteArray &bytes, int delayMs)
{
    if (m_sender.joinable())
        m_sender.join();
    m_sender = std::thread([master = m_master, bytes, delayMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        [[maybe_unused]] const ssize_t n = ::write(master, bytes.constData(), size_t(bytes.size()));
    });
}

void PtyDevice::writePending()
{
    while (!m_pending.isEmpty() && m_master >= 0) {
        const ssize_t n = ::write(m_master, m_pending.constData(), size_t(m_pending.size()));
        if (n <= 0) {
            // The kernel buffer is full: try again once the application has read some.
            QTimer::singleShot(1, this, &PtyDevice::writePending);
            return;
        }
        m_pending.remove(0, n);
    }
}

int PtyDevice::outputBaud() const
{
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    switch (::cfgetospeed(&tio)) {
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    default:
        return -1;
    }
}

bool PtyDevice::rawEightN1() const
{
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    return (tio.c_cflag & CSIZE) == CS8 && !(tio.c_cflag & PARENB) && !(tio.c_cflag & CSTOPB)
            && !(tio.c_lflag & (ICANON | ECHO));
}

void PtyDevice::hangUp()
{
    if (m_master < 0)
        return;
    m_readNotifier->setEnabled(false);
    ::close(m_master);
    m_master = -1;
}
