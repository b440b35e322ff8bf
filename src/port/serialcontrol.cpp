#include "serialcontrol.h"

#include "portbinding.h"
#include "serialsettings.h"
#include "wirelog.h"

#include <QStringList>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

SerialControl::SerialControl(QObject *parent) : QObject(parent)
{
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialControl::handlePortError);
    connect(&m_port, &QSerialPort::readyRead, this, &SerialControl::keepIdleInput);
}

SerialControl::~SerialControl()
{
    if (m_port.isOpen())
        m_port.close();
}

void SerialControl::setCommPort(int comPort)
{
    m_commPort = comPort;
}

bool SerialControl::setSettings(const QString &settings)
{
    if (!SerialSettings::parse(settings))
        return false;
    m_settings = settings;
    return true;
}

bool SerialControl::PortOpen() const
{
    return m_port.isOpen() && !m_lost;
}

QString SerialControl::devicePath() const
{
    return DevicePathForComPort(m_commPort);
}

QString SerialControl::portLabel() const
{
    return QStringLiteral("COM %1 (%2)")
            .arg(m_commPort)
            .arg(m_port.isOpen() ? m_openDevice : devicePath());
}

bool SerialControl::setPortOpen(bool open)
{
    if (!open) {
        if (m_port.isOpen()) {
            m_port.close();
            if (WireLog *log = WireLog::active())
                log->note(m_commPort, "close", m_openDevice);
        }
        m_lost = false;
        return true;
    }
    if (m_port.isOpen() && !m_lost)
        return true;
    if (m_port.isOpen())
        m_port.close();
    m_lost = false;

    const SerialSettings settings = SerialSettings::parse(m_settings).value_or(SerialSettings{});
    const QString device = devicePath();
    m_port.setPortName(device);
    m_port.setBaudRate(settings.baudRate);
    m_port.setParity(settings.parity);
    m_port.setDataBits(settings.dataBits);
    m_port.setStopBits(settings.stopBits);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    // Unlimited: a reply is never cut short. Input that nobody waits for is bounded by
    // keepIdleInput() instead, which keeps the newest bytes rather than the oldest.
    m_port.setReadBufferSize(0);
    m_idleInput.clear();

    if (m_port.open(QIODevice::ReadWrite)) {
        m_openDevice = device;
        if (WireLog *log = WireLog::active())
            log->note(m_commPort, "open", QStringLiteral("%1 at %2").arg(device, m_settings));
        return true;
    }

    OpenFailure why;
    why.comPort = m_commPort;
    why.device = device;
    why.error = m_port.error();
    why.detail = m_port.errorString();
#ifdef Q_OS_UNIX
    const QByteArray path = device.toLocal8Bit();
    why.accessDenied = ::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES;
    struct stat info
    {
    };
    if (::stat(path.constData(), &info) == 0) {
        if (const passwd *owner = ::getpwuid(info.st_uid))
            why.owner = QString::fromLocal8Bit(owner->pw_name);
        if (const group *owningGroup = ::getgrgid(info.st_gid))
            why.group = QString::fromLocal8Bit(owningGroup->gr_name);
        why.mode = info.st_mode & 07777;
    }
#endif
    const QString message = DescribeOpenFailure(why);
    if (WireLog *log = WireLog::active())
        log->note(m_commPort, "fail", message);
    emit failure(message);
    return false;
}

void SerialControl::setRTSEnable(bool on)
{
    if (PortOpen())
        m_port.setRequestToSend(on);
}

void SerialControl::setDTREnable(bool on)
{
    if (PortOpen())
        m_port.setDataTerminalReady(on);
}

bool SerialControl::Output(const QByteArray &bytes)
{
    if (!PortOpen()) {
        emit failure(PortNotOpenMessage(QStringLiteral("nothing was sent")));
        return false;
    }
    if (m_port.write(bytes) != bytes.size())
        return false; // the error handler has reported it
    if (WireLog *log = WireLog::active())
        log->sent(m_commPort, bytes);
    // Start the transfer now; QSerialPort sends the rest as the line drains.
    m_port.flush();
    return true;
}

QByteArray SerialControl::Input()
{
    if (!PortOpen())
        return {};
    // What waited in the idle buffer was logged when it arrived.
    QByteArray bytes = m_idleInput.take(m_inputLen == 0 ? -1 : m_inputLen);
    const QByteArray fresh
            = m_inputLen == 0 ? m_port.readAll() : m_port.read(m_inputLen - bytes.size());
    if (WireLog *log = WireLog::active(); log && !fresh.isEmpty())
        log->received(m_commPort, fresh);
    return bytes + fresh;
}

qint64 SerialControl::InBufferCount() const
{
    return PortOpen() ? m_idleInput.size() + m_port.bytesAvailable() : 0;
}

void SerialControl::keepIdleInput()
{
    // Moved out of the port's own buffer at once: it holds each small read of the line in a
    // block of its own, and a megabyte of them would take many times that in memory.
    if (m_exchangeWaiting)
        return;
    const QByteArray arrived = m_port.readAll();
    if (WireLog *log = WireLog::active(); log && !arrived.isEmpty())
        log->received(m_commPort, arrived);
    m_idleInput.append(arrived);
}

qint64 SerialControl::takeDroppedCount()
{
    return m_idleInput.takeDropped();
}

void SerialControl::handlePortError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError:
    case QSerialPort::UnsupportedOperationError: // modem lines on a pty, and the like
    case QSerialPort::TimeoutError:
        return;
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
    case QSerialPort::NotOpenError:
        return; // reported by setPortOpen / Output with more context
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::UnknownError:
        break;
    }
    if (!m_port.isOpen() || m_lost)
        return;
    // The line is gone (adapter pulled, other end hung up). QSerialPort may keep raising
    // ReadError in a tight loop until the port is closed, so report once and close, but not
    // from inside its own notification.
    m_lost = true;
    const QString message = DescribeLostPort(portLabel(), m_port.errorString());
    if (WireLog *log = WireLog::active())
        log->note(m_commPort, "lost", message);
    emit failure(message);
    QTimer::singleShot(0, this, &SerialControl::closeLostPort);
}

void SerialControl::closeLostPort()
{
    if (m_lost && m_port.isOpen())
        m_port.close();
}

QString PortNotOpenMessage(const QString &consequence)
{
    return QStringLiteral("COM port not open: %1. Press \"Initialize COM Port\" first.")
            .arg(consequence);
}

QString InputOverflowMessage(qint64 dropped)
{
    return QStringLiteral("Input overflowed while no exchange was waiting: the oldest %1 bytes "
                          "were dropped, the newest %2 kept.")
            .arg(dropped)
            .arg(SerialControl::IdleInputLimit);
}

QString DescribeLostPort(const QString &portLabel, const QString &systemText)
{
    // After a hang-up the system's error text is often left over from setting up the line
    // ("Inappropriate ioctl for device"), or says no more than the sentence itself.
    static const QStringList kSaysNothingMore = {QString(), QStringLiteral("Success"),
            QStringLiteral("Unknown error"), QStringLiteral("Inappropriate ioctl for device"),
            QStringLiteral("Resource temporarily unavailable"),
            QStringLiteral("Input/output error"), QStringLiteral("No such device"),
            QStringLiteral("No such file or directory")};
    const QString detail = kSaysNothingMore.contains(systemText)
            ? QString()
            : QStringLiteral(" (%1)").arg(systemText);
    return QStringLiteral("%1 was lost: the device went away or hung up%2. The port is closed; "
                          "press \"Initialize COM Port\" when the device is back.")
            .arg(portLabel, detail);
}

QString DescribeOpenFailure(const OpenFailure &failure)
{
    const QString where
            = QStringLiteral("Cannot open COM %1 (%2): ").arg(failure.comPort).arg(failure.device);
    if (failure.accessDenied) {
        // Joining the device's group helps only when that group may read and write it, and
        // joining "root" is never the answer.
        constexpr unsigned kGroupReadWrite = 060;
        if (!failure.group.isEmpty() && failure.group != u"root"
                && (failure.mode & kGroupReadWrite) == kGroupReadWrite)
            return where
                    + QStringLiteral("Permission denied. Add your user to the group \"%1\" "
                                     "(sudo usermod -aG %1 $USER), then log in again.")
                              .arg(failure.group);
        const QString owner = failure.owner.isEmpty() ? QStringLiteral("its owner") : failure.owner;
        const QString group = failure.group.isEmpty() ? QStringLiteral("unknown") : failure.group;
        return where
                + QStringLiteral("Permission denied: only %1 may read and write this device "
                                 "(group %2, mode %3). An administrator has to grant access: a "
                                 "udev rule, or the group the distribution uses for serial ports "
                                 "(\"dialout\" on Debian).")
                          .arg(owner, group)
                          .arg(failure.mode, 4, 8, QLatin1Char('0'));
    }
    switch (failure.error) {
    case QSerialPort::DeviceNotFoundError:
        return where
                + QStringLiteral("No such device. Check the cable or adapter, or bind COM %1 "
                                 "with QUILLON_COM%1.")
                          .arg(failure.comPort);
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
        return where + QStringLiteral("The device is in use by another program.");
    case QSerialPort::UnsupportedOperationError:
        return where + QStringLiteral("Not a serial device.");
    default:
        return where
                + (failure.detail.isEmpty() ? QStringLiteral("Unknown error.") : failure.detail);
    }
}
