#include "line/transport/serialtransport.h"

#include "line/linemessages.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSerialPortInfo>

#include <algorithm>
#include <cstring>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <unistd.h>
#endif

SerialTransport::SerialTransport(int comPort, const LineAddress &address, QObject *parent)
    : LineTransport(comPort, address, parent)
{
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialTransport::handlePortError);
    connect(&m_port, &QSerialPort::readyRead, this, &QIODevice::readyRead);
}

SerialTransport::~SerialTransport()
{
    SerialTransport::close();
}

void SerialTransport::startOpen(const SerialSettings &settings)
{
    beginOpen();
    m_port.setPortName(binding());
    m_port.setBaudRate(settings.baudRate);
    m_port.setParity(settings.parity);
    m_port.setDataBits(settings.dataBits);
    m_port.setStopBits(settings.stopBits);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    // Unlimited: a reply is never cut short. Input that nobody waits for is bounded by the
    // serial control instead, which keeps the newest bytes rather than the oldest.
    m_port.setReadBufferSize(0);
    if (m_port.open(QIODevice::ReadWrite)) {
        // Unbuffered: the port buffers already, a second copy would only cost time.
        QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
        finishOpen(true);
        return;
    }
    finishOpen(false,
            DiagnoseDeviceFailure(comPort(), binding(), m_port.error(), m_port.errorString()));
}

void SerialTransport::close()
{
    m_taken.clear();
    if (m_port.isOpen())
        m_port.close();
    finishOpen(false);
    if (isOpen())
        QIODevice::close();
}

qint64 SerialTransport::bytesAvailable() const
{
    return m_taken.size() + m_port.bytesAvailable() + QIODevice::bytesAvailable();
}

void SerialTransport::setRequestToSend(bool on)
{
    m_port.setRequestToSend(on);
}

void SerialTransport::setDataTerminalReady(bool on)
{
    m_port.setDataTerminalReady(on);
}

void SerialTransport::startTransfer()
{
    // A direct write that the line did not take whole has filled it: the port would meet the
    // full line at once and take that for a failure. Its write notifier goes on when there is
    // room.
    if (m_lineFull) {
        m_lineFull = false;
        return;
    }
    m_port.flush();
}

bool SerialTransport::applySettings(const SerialSettings &settings)
{
    // The line stays open: closing it would drop DTR, and some devices reset on that.
    return m_port.isOpen() && m_port.setBaudRate(settings.baudRate)
            && m_port.setParity(settings.parity) && m_port.setDataBits(settings.dataBits)
            && m_port.setStopBits(settings.stopBits);
}

bool SerialTransport::takeWaiting(std::chrono::microseconds wait)
{
#ifdef Q_OS_UNIX
    // Asked only when the line has something: the port takes a wait that ends empty for a
    // time-out error.
    if (m_port.isOpen() && descriptorReadable(m_port.handle(), wait) && !takeDirectly())
        m_port.waitForReadyRead(0);
    return true;
#else
    Q_UNUSED(wait);
    return false;
#endif
}

bool SerialTransport::takeDirectly()
{
#ifdef Q_OS_UNIX
    // The port would poll the line once more, read it into a block of 32 KiB and signal; the
    // line was just seen readable, so one read does. Only into an empty port buffer, so that
    // the bytes stay in order. Anything but data (an error, the other end gone) is left to the
    // port, which reports it.
    if (m_port.bytesAvailable() > 0)
        return false;
    char chunk[16384];
    ssize_t n;
    do
        n = ::read(m_port.handle(), chunk, sizeof chunk);
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    m_taken.append(chunk, qsizetype(n));
    return true;
#else
    return false;
#endif
}

qint64 SerialTransport::readData(char *data, qint64 maxSize)
{
    const qint64 taken = std::min<qint64>(maxSize, m_taken.size());
    if (taken > 0) {
        std::memcpy(data, m_taken.constData(), size_t(taken));
        m_taken.remove(0, qsizetype(taken));
    }
    if (taken == maxSize)
        return taken;
    const qint64 read = m_port.read(data + taken, maxSize - taken);
    return read < 0 ? (taken > 0 ? taken : read) : taken + read;
}

qint64 SerialTransport::writeData(const char *data, qint64 size)
{
    qint64 written = 0;
#ifdef Q_OS_UNIX
    // Straight to the line when nothing waits before it. The port's own queue would switch its
    // write notifier on and off again for every command, and each switch wakes the event loop
    // for nothing. What the line does not take at once is queued behind it as before.
    if (m_port.bytesToWrite() == 0) {
        ssize_t n;
        do
            n = ::write(m_port.handle(), data, size_t(size));
        while (n < 0 && errno == EINTR);
        if (n > 0)
            written = n;
        // Any other failure is left to the port, which reports it when it tries the rest.
    }
    if (written == size)
        return size;
    m_lineFull = true;
#endif
    const qint64 queued = m_port.write(data + written, size - written);
    if (queued < 0)
        return written > 0 ? written : -1;
    return written + queued;
}

void SerialTransport::handlePortError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError:
    case QSerialPort::UnsupportedOperationError: // modem lines on a pty, and the like
    case QSerialPort::TimeoutError:
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
    case QSerialPort::NotOpenError:
        return; // reported by the open with more context, or nothing to report
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::UnknownError:
        break;
    }
    if (m_port.isOpen())
        reportLoss(m_port.errorString());
}

QList<SerialPortEntry> SerialTransport::availablePorts()
{
    // The stable names are symbolic links to the devices; map each device back to its name.
    QHash<QString, QString> byId;
    const QDir idDir(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo &link :
            idDir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        byId.insert(link.canonicalFilePath(), link.absoluteFilePath());

    QList<SerialPortEntry> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        SerialPortEntry entry;
        entry.device = info.systemLocation();
        entry.byId = byId.value(QFileInfo(entry.device).canonicalFilePath());
        entry.description = info.description();
        entry.manufacturer = info.manufacturer();
        entry.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier())
            entry.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            entry.productId = info.productIdentifier();
        ports << entry;
    }
    return ports;
}
