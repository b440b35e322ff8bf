#include "serialcontrol.h"

#include "linemessages.h"
#include "portbinding.h"
#include "serialsettings.h"
#include "wirelog.h"

#include <QStringList>
#include <QTimer>

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
            if (m_transcript)
                m_transcript->note(m_commPort, "close", m_openDevice);
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
        if (m_transcript)
            m_transcript->note(
                    m_commPort, "open", QStringLiteral("%1 at %2").arg(device, m_settings));
        return true;
    }

    const QString message = DescribeOpenFailure(
            DiagnoseOpenFailure(m_commPort, device, m_port.error(), m_port.errorString()));
    if (m_transcript)
        m_transcript->note(m_commPort, "fail", message);
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
    if (m_transcript)
        m_transcript->sent(m_commPort, bytes);
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
    if (m_transcript && !fresh.isEmpty())
        m_transcript->received(m_commPort, fresh);
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
    if (m_transcript && !arrived.isEmpty())
        m_transcript->received(m_commPort, arrived);
    m_idleInput.append(arrived);
}

qint64 SerialControl::takeDroppedCount()
{
    return m_idleInput.takeDropped();
}

void SerialControl::handlePortError(QSerialPort::SerialPortError error)
{
    switch (error) {
    // NOLINTNEXTLINE(bugprone-branch-clone): each group returns for its own reason
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
    if (m_transcript)
        m_transcript->note(m_commPort, "lost", message);
    emit failure(message);
    QTimer::singleShot(0, this, &SerialControl::closeLostPort);
}

void SerialControl::closeLostPort()
{
    if (m_lost && m_port.isOpen())
        m_port.close();
}
