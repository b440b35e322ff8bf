#include "line/port/serialcontrol.h"

#include "line/linehold.h"
#include "line/port/identityresolver.h"
#include "line/port/portbinding.h"
#include "line/port/portreopener.h"
#include "line/record/linerecorder.h"
#include "line/serialsettings.h"
#include "line/transport/linetransport.h"

#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

// How long past the transport's own bound an open is waited for before it is given up: a
// transport that overruns its bound must not keep Initialize waiting for ever.
constexpr int OpenOverrunMs = 1000;

using State = SerialControl::State;

bool isReopeningState(State state)
{
    return state == State::WaitingToReopen || state == State::OnProbation;
}

bool canEnter(State from, State to)
{
    switch (to) {
    case State::Closed:
    case State::Opening:
        return true; // the operator may close or open at any time
    case State::Open:
        return from == State::Opening || isReopeningState(from);
    case State::Lost:
        return from == State::Open || isReopeningState(from); // reopening turned off: Lost again
    case State::WaitingToReopen:
        return from == State::Lost || from == State::OnProbation;
    case State::OnProbation:
        return from == State::WaitingToReopen;
    }
    return false;
}

} // namespace

SerialControl::SerialControl(QObject *parent) : QObject(parent), m_reopener(new PortReopener(this))
{
    m_openOverrun.setSingleShot(true);
    connect(&m_openOverrun, &QTimer::timeout, this, [this] {
        if (m_state == State::Opening && m_transport)
            failOpen(m_transport->failure(LineError::NoAnswer));
    });
    connect(m_reopener, &PortReopener::probationStarted, this,
            [this] { enter(State::OnProbation); });
    connect(m_reopener, &PortReopener::attemptFailed, this, &SerialControl::reopenAttemptFailed);
    connect(m_reopener, &PortReopener::reopened, this, &SerialControl::adoptReopened);
}

SerialControl::~SerialControl()
{
    if (m_transport)
        m_transport->close();
}

void SerialControl::enter(State next)
{
    Q_ASSERT_X(canEnter(m_state, next), "SerialControl::enter", "no such transition");
    const State left = m_state;
    m_state = next;
    // The reopener works in the two reopening states and in no other.
    if (!isReopeningState(next))
        m_reopener->stop();
    else if (left == State::Lost)
        m_reopener->start(m_commPort, m_address,
                SerialSettings::parse(m_openSettings).value_or(SerialSettings{}));
    emit stateChanged(next);
}

void SerialControl::note(Transcript::Word word, const QString &text)
{
    if (m_recorder)
        m_recorder->note(m_commPort, word, text);
}

void SerialControl::setReopen(bool on)
{
    m_reopen = on;
    if (!on && isReopeningState(m_state))
        enter(State::Lost);
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

bool SerialControl::applySettings(const QString &settings)
{
    const auto parsed = SerialSettings::parse(settings);
    if (!parsed || !PortOpen() || !m_transport->applySettings(*parsed))
        return false;
    m_settings = settings;
    m_openSettings = settings;
    note(Transcript::Word::Settings, settings);
    return true;
}

void SerialControl::setIdentityResolver(IdentityResolver *resolver)
{
    m_identityResolver = resolver;
    m_reopener->setIdentityResolver(resolver);
}

bool SerialControl::reopening() const
{
    return isReopeningState(m_state) || (m_state == State::Lost && m_reopen);
}

bool SerialControl::canSetRate() const
{
    return m_transport && m_transport->canSetRate();
}

bool SerialControl::settingsPending() const
{
    return PortOpen() && m_transport->settingsPending();
}

QString SerialControl::devicePath() const
{
    return m_binding.isEmpty() ? DevicePathForComPort(m_commPort) : m_binding;
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

void SerialControl::adoptTransport(LineTransport *transport)
{
    transport->setParent(this);
    m_transport = transport;
    connect(transport, &LineTransport::settingsSettled, this, &SerialControl::settingsSettled);
    connect(transport, &QIODevice::readyRead, this, &SerialControl::keepIdleInput);
    connect(transport, &LineTransport::lost, this, &SerialControl::lineLost);
    connect(transport, &LineTransport::notice, this, [this](const QString &text) {
        note(Transcript::Word::Note, text);
        emit notice(text);
    });
    m_idleInput.clear();
}

void SerialControl::close()
{
    cancelIdentitySearch();
    if (m_state == State::Open)
        note(Transcript::Word::Close, QuotedName(m_address.binding));
    dropTransport();
    if (m_state != State::Closed)
        enter(State::Closed);
}

bool SerialControl::setPortOpen(bool open)
{
    if (!open) {
        close();
        return true;
    }
    if (m_state == State::Open)
        return true;
    // A lost line, the wait for one, or an open still under way (Initialize pressed again while
    // connecting) gives way to this open.
    dropTransport();
    cancelIdentitySearch();
    m_openNotice.clear();
    m_address = ParseLineAddress(devicePath());
    m_openSettings = m_settings;
    enter(State::Opening);
    if (m_address.problem) {
        LineFailure why;
        why.error = *m_address.problem;
        why.comPort = m_commPort;
        why.binding = m_address.binding;
        why.detail = m_address.problemDetail;
        failOpen(why);
        return false;
    }
    if (m_address.kind->create)
        openLine(m_address);
    else
        findByIdentity();
    return m_state == State::Open;
}

void SerialControl::openLine(const LineAddress &line)
{
    LineTransport *transport = CreateLineTransport(m_commPort, line, this);
    adoptTransport(transport);
    connect(transport, &LineTransport::openFinished, this, &SerialControl::openFinished);
    transport->startOpen(SerialSettings::parse(m_openSettings).value_or(SerialSettings{}));
    // A network line takes a while; the events run meanwhile, and openFinished() ends it. Should
    // the transport overrun its own bound, the open is given up all the same.
    if (m_state == State::Opening && m_transport == transport)
        m_openOverrun.start(LineTransport::OpenTimeoutMs + OpenOverrunMs);
}

void SerialControl::findByIdentity()
{
    if (!m_identityResolver) {
        failOpen(IdentityResolverMissing());
        return;
    }
    m_searchingIdentity = true;
    m_identityResolver->resolve(
            m_commPort, m_address, [this](const IdentityResolver::Result &result) {
                m_searchingIdentity = false;
                if (m_state != State::Opening || m_transport)
                    return; // closed or opened again meanwhile, which says so itself
                if (result.failure) {
                    failOpen(*result.failure);
                    return;
                }
                note(Transcript::Word::Found, result.found);
                openLine(ParseLineAddress(result.line));
            });
}

void SerialControl::cancelIdentitySearch()
{
    m_openOverrun.stop();
    if (std::exchange(m_searchingIdentity, false) && m_identityResolver)
        m_identityResolver->cancel();
}

LineFailure SerialControl::IdentityResolverMissing() const
{
    LineFailure why;
    why.error = LineError::NoInstrumentMatches;
    why.comPort = m_commPort;
    why.binding = m_address.binding;
    return why;
}

QString SerialControl::lineName() const
{
    // A binding by identity names no line; the one its instrument was found on is worth a word.
    if (!m_transport || m_transport->binding() == m_address.binding)
        return m_address.binding;
    return QStringLiteral("%1, found on %2").arg(m_address.binding, m_transport->binding());
}

void SerialControl::openFinished(bool opened)
{
    if (m_state != State::Opening)
        return;
    m_openOverrun.stop();
    if (!opened) {
        failOpen(m_transport->openFailure());
        return;
    }
    m_openNotice = m_transport->openNotice();
    note(Transcript::Word::Open,
            QStringLiteral("%1 at %2").arg(QuotedName(lineName()), m_openSettings));
    if (!m_openNotice.isEmpty())
        note(Transcript::Word::Note, m_openNotice);
    enter(State::Open);
    emit this->opened();
}

void SerialControl::failOpen(const LineFailure &why)
{
    m_lastFailure = why;
    const QString message = DescribeLineFailure(why);
    dropTransport();
    note(Transcript::Word::Fail, message);
    enter(State::Closed);
    emit failure(message);
}

void SerialControl::lineLost(const QString &systemText)
{
    if (m_state != State::Open)
        return;
    // The line is gone (adapter pulled, other end hung up, server dropped the connection).
    // A serial port may keep raising errors in a tight loop until it is closed, so report
    // once and close, but not from inside its own notification.
    LineFailure why = m_transport->failure(LineError::Lost, systemText);
    // Named as its return will be: a line found by identity by its binding and where it was.
    why.binding = lineName();
    why.reopens = m_reopen;
    m_lastFailure = why;
    const QString message = DescribeLineFailure(why);
    enter(State::Lost);
    note(Transcript::Word::Lost, message);
    emit failure(message);
    QTimer::singleShot(0, this, &SerialControl::closeLostLine);
}

void SerialControl::closeLostLine()
{
    if (m_state != State::Lost || !m_transport || !m_transport->isOpen())
        return;
    m_transport->close();
    if (m_reopen)
        enter(State::WaitingToReopen);
}

void SerialControl::reopenAttemptFailed(int attempt, const LineFailure &why)
{
    // Quietly: the loss was reported once, and a reopening will be. The transcript counts them.
    note(Transcript::Word::Attempt,
            QStringLiteral("%1: %2").arg(attempt).arg(DescribeLineFailure(why)));
    if (m_state == State::OnProbation)
        enter(State::WaitingToReopen);
}

void SerialControl::adoptReopened(LineTransport *transport)
{
    dropTransport(); // the lost one
    adoptTransport(transport);
    enter(State::Open);
    if (m_requestToSend)
        transport->setRequestToSend(true);
    if (m_dataTerminalReady)
        transport->setDataTerminalReady(true);
    note(Transcript::Word::Reopen,
            QStringLiteral("%1 at %2").arg(QuotedName(lineName()), m_openSettings));
    emit notice(DescribeReopenedPort(m_commPort, lineName(), m_openSettings));
    // What came during the probation is waiting already; no signal will announce it again.
    if (transport->bytesAvailable() > 0)
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
        emit failure(PortNotOpenMessage(QStringLiteral("nothing was sent"), reopening()));
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
    // Exactly what is there: readAll() reserves a block and asks the device once more.
    const qint64 available = m_transport->bytesAvailable();
    const qint64 wanted
            = m_inputLen == 0 ? available : std::min<qint64>(available, m_inputLen - bytes.size());
    QByteArray fresh = wanted > 0 ? m_transport->read(wanted) : QByteArray();
    if (m_recorder && !fresh.isEmpty())
        m_recorder->received(m_commPort, fresh);
    if (bytes.isEmpty())
        return fresh;
    return bytes + fresh;
}

bool SerialControl::takeWaiting(std::chrono::microseconds wait)
{
    return PortOpen() && m_transport->takeWaiting(wait);
}

QByteArray SerialControl::discardInput()
{
    return PortOpen() ? m_idleInput.take() + m_transport->readAll() : QByteArray();
}

qint64 SerialControl::InBufferCount() const
{
    return PortOpen() ? m_idleInput.size() + m_transport->bytesAvailable() : 0;
}

void SerialControl::keepIdleInput()
{
    // Moved out of the port's own buffer at once: it holds each small read of the line in a
    // block of its own, and a megabyte of them would take many times that in memory.
    if (!m_transport)
        return;
    if (m_hold && m_hold->held()) {
        emit inputForExchange();
        return;
    }
    const QByteArray arrived = m_transport->readAll();
    if (m_recorder && !arrived.isEmpty())
        m_recorder->received(m_commPort, arrived);
    m_idleInput.append(arrived);
}

void SerialControl::setRecorder(LineRecorder *recorder)
{
    m_recorder = recorder;
}

qint64 SerialControl::takeDroppedCount()
{
    return m_idleInput.takeDropped();
}
