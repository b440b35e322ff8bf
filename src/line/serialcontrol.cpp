#include "serialcontrol.h"

#include "linemessages.h"
#include "linerecorder.h"
#include "linetransport.h"
#include "portbinding.h"
#include "reconnectwatcher.h"
#include "serialsettings.h"

#include <QEventLoop>
#include <QStringList>
#include <QTimer>

SerialControl::SerialControl(QObject *parent)
    : QObject(parent), m_returnWatcher(new ReconnectWatcher(this))
{
    connect(m_returnWatcher, &ReconnectWatcher::tryNow, this, &SerialControl::tryReopen);
}

SerialControl::~SerialControl()
{
    if (m_transport)
        m_transport->close();
    if (m_reopenAttempt)
        m_reopenAttempt->close();
}

void SerialControl::setReconnect(bool on)
{
    m_reconnect = on;
    if (!on)
        stopWaitingForReturn();
}

bool SerialControl::waitingForReturn() const
{
    return m_returnWatcher->active();
}

void SerialControl::stopWaitingForReturn()
{
    m_returnWatcher->stop();
    if (m_reopenAttempt) {
        LineTransport *attempt = m_reopenAttempt;
        m_reopenAttempt = nullptr;
        attempt->disconnect(this);
        attempt->close();
        attempt->deleteLater();
    }
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
    return m_transport && m_transport->isOpen() && !m_lost;
}

QString SerialControl::devicePath() const
{
    return DevicePathForComPort(m_commPort);
}

QString SerialControl::portLabel() const
{
    const bool open = m_transport && m_transport->isOpen();
    return QStringLiteral("COM %1 (%2)").arg(m_commPort).arg(open ? m_openDevice : devicePath());
}

void SerialControl::dropTransport()
{
    if (!m_transport)
        return;
    LineTransport *old = m_transport;
    m_transport = nullptr;
    old->disconnect(this);
    old->close(); // ends an open that is still waiting
    // Later: this may run inside one of its own signals, or while an open waits on it.
    old->deleteLater();
}

bool SerialControl::setPortOpen(bool open)
{
    // The operator's own open or close ends any wait for a lost device.
    stopWaitingForReturn();
    if (!open) {
        if (m_transport && m_transport->isOpen() && m_recorder)
            m_recorder->note(m_commPort, "close", m_openDevice);
        dropTransport();
        m_lost = false;
        return true;
    }
    if (PortOpen())
        return true;
    // A lost line, or an open still under way (Initialize pressed again while connecting).
    dropTransport();
    m_lost = false;
    m_openNotice.clear();

    const SerialSettings settings = SerialSettings::parse(m_settings).value_or(SerialSettings{});
    const QString device = devicePath();
    LineTransport *transport = CreateLineTransport(m_commPort, device, this);
    adoptTransport(transport);

    bool finished = false;
    QEventLoop waitForOpen;
    connect(transport, &LineTransport::openFinished, &waitForOpen, [&] {
        finished = true;
        waitForOpen.quit();
    });
    transport->startOpen(settings);
    // A network line takes a while; the event loop runs meanwhile so that nothing freezes.
    // The transport bounds the wait itself, and closing it (another Initialize) ends it too.
    if (!finished)
        waitForOpen.exec();
    if (m_transport != transport)
        return false; // given up for another open, which reports for itself

    if (transport->isOpen()) {
        m_openDevice = device;
        m_openSettings = m_settings;
        m_openNotice = transport->openNotice();
        if (m_recorder) {
            m_recorder->note(
                    m_commPort, "open", QStringLiteral("%1 at %2").arg(device, m_settings));
            if (!m_openNotice.isEmpty())
                m_recorder->note(m_commPort, "note", m_openNotice);
        }
        return true;
    }

    const QString message = transport->openFailure();
    dropTransport();
    if (m_recorder)
        m_recorder->note(m_commPort, "fail", message);
    emit failure(message);
    return false;
}

void SerialControl::adoptTransport(LineTransport *transport)
{
    m_transport = transport;
    connect(transport, &QIODevice::readyRead, this, &SerialControl::keepIdleInput);
    connect(transport, &LineTransport::lost, this, &SerialControl::handleLoss);
    m_idleInput.clear();
}

void SerialControl::tryReopen()
{
    if (m_reopenAttempt || !m_lost)
        return; // one try at a time
    const SerialSettings settings
            = SerialSettings::parse(m_openSettings).value_or(SerialSettings{});
    LineTransport *attempt = CreateLineTransport(m_commPort, m_openDevice, this);
    m_reopenAttempt = attempt;
    connect(attempt, &LineTransport::openFinished, this,
            [this, attempt](bool opened) { reopenFinished(attempt, opened); });
    connect(attempt, &LineTransport::lost, this, [this, attempt] { reopenFailed(attempt); });
    attempt->startOpen(settings);
}

void SerialControl::reopenFinished(LineTransport *attempt, bool opened)
{
    if (attempt != m_reopenAttempt)
        return;
    if (!opened) {
        reopenFailed(attempt);
        return;
    }
    if (ParseNetworkBinding(m_openDevice).kind == NetworkBinding::Kind::None) {
        adoptReopened(attempt);
        return;
    }
    QTimer::singleShot(NetworkReopenProbationMs, attempt, [this, attempt] {
        if (attempt == m_reopenAttempt)
            adoptReopened(attempt);
    });
}

void SerialControl::reopenFailed(LineTransport *attempt)
{
    if (attempt != m_reopenAttempt)
        return;
    // Not back yet (or not usable yet): quietly, the watcher says when to try again.
    m_reopenAttempt = nullptr;
    attempt->disconnect(this);
    attempt->close();
    attempt->deleteLater();
    m_returnWatcher->attemptFailed();
}

void SerialControl::adoptReopened(LineTransport *attempt)
{
    m_reopenAttempt = nullptr;
    attempt->disconnect(this);
    m_returnWatcher->stop();
    dropTransport(); // the lost one
    adoptTransport(attempt);
    m_lost = false;
    if (m_requestToSend)
        attempt->setRequestToSend(true);
    if (m_dataTerminalReady)
        attempt->setDataTerminalReady(true);
    if (m_recorder)
        m_recorder->note(
                m_commPort, "reopen", QStringLiteral("%1 at %2").arg(m_openDevice, m_openSettings));
    emit notice(DescribeReopenedPort(m_commPort, m_openDevice, m_openSettings));
    // What came during the probation is waiting already; no signal will announce it again.
    if (attempt->bytesAvailable() > 0)
        keepIdleInput();
}

void SerialControl::setRTSEnable(bool on)
{
    m_requestToSend = on;
    if (PortOpen())
        m_transport->setRequestToSend(on);
}

void SerialControl::setDTREnable(bool on)
{
    m_dataTerminalReady = on;
    if (PortOpen())
        m_transport->setDataTerminalReady(on);
}

bool SerialControl::Output(const QByteArray &bytes)
{
    if (!PortOpen()) {
        emit failure(PortNotOpenMessage(QStringLiteral("nothing was sent")));
        return false;
    }
    if (m_transport->write(bytes) != bytes.size())
        return false; // the loss handler has reported it
    if (m_recorder)
        m_recorder->sent(m_commPort, bytes);
    // Start the transfer now; the rest goes as the line drains.
    m_transport->startTransfer();
    return true;
}

QByteArray SerialControl::Input()
{
    if (!PortOpen())
        return {};
    // What waited in the idle buffer was logged when it arrived.
    QByteArray bytes = m_idleInput.take(m_inputLen == 0 ? -1 : m_inputLen);
    const QByteArray fresh = m_inputLen == 0 ? m_transport->readAll()
                                             : m_transport->read(m_inputLen - bytes.size());
    if (m_recorder && !fresh.isEmpty())
        m_recorder->received(m_commPort, fresh);
    return bytes + fresh;
}

qint64 SerialControl::InBufferCount() const
{
    return PortOpen() ? m_idleInput.size() + m_transport->bytesAvailable() : 0;
}

void SerialControl::keepIdleInput()
{
    // Moved out of the port's own buffer at once: it holds each small read of the line in a
    // block of its own, and a megabyte of them would take many times that in memory.
    if (m_exchangeWaiting || !m_transport)
        return;
    const QByteArray arrived = m_transport->readAll();
    if (m_recorder && !arrived.isEmpty())
        m_recorder->received(m_commPort, arrived);
    m_idleInput.append(arrived);
}

qint64 SerialControl::takeDroppedCount()
{
    return m_idleInput.takeDropped();
}

void SerialControl::handleLoss(const QString &systemText)
{
    if (!PortOpen())
        return;
    // The line is gone (adapter pulled, other end hung up, server dropped the connection).
    // A serial port may keep raising errors in a tight loop until it is closed, so report
    // once and close, but not from inside its own notification.
    m_lost = true;
    const QString message = DescribeLostPort(portLabel(), systemText);
    if (m_recorder)
        m_recorder->note(m_commPort, "lost", message);
    emit failure(message);
    QTimer::singleShot(0, this, &SerialControl::closeLostPort);
}

void SerialControl::closeLostPort()
{
    if (!m_lost || !m_transport || !m_transport->isOpen())
        return;
    m_transport->close();
    if (m_reconnect)
        m_returnWatcher->watch(m_openDevice);
}
