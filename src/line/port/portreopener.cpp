#include "line/port/portreopener.h"

#include "line/transport/linetransport.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <utility>

PortReopener::PortReopener(QObject *parent) : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (watchesPath())
            checkPath();
        else if (searchesByIdentity())
            searchNow();
        else
            tryNow();
    });
    m_probation.setSingleShot(true);
    connect(&m_probation, &QTimer::timeout, this, &PortReopener::handOver);
    connect(&m_directories, &QFileSystemWatcher::directoryChanged, this, [this] {
        // A directory on the way may have come back; watch the deepest one again.
        watchNearestDirectory();
        checkPath();
    });
}

PortReopener::~PortReopener()
{
    discardAttempt();
}

bool PortReopener::watchesPath() const
{
    return m_address.kind && m_address.kind->reopen == TransportKind::Reopen::WatchPath;
}

bool PortReopener::searchesByIdentity() const
{
    return m_address.kind && m_address.kind->reopen == TransportKind::Reopen::SearchByIdentity;
}

void PortReopener::start(int comPort, const LineAddress &address, const SerialSettings &settings)
{
    stop();
    m_active = true;
    m_comPort = comPort;
    m_address = address;
    m_line = address;
    m_settings = settings;
    m_attempts = 0;
    m_retryMs = FirstRetryMs;
    if (watchesPath()) {
        watchNearestDirectory();
        m_timer.setSingleShot(false);
        m_timer.start(PathCheckMs);
        return;
    }
    m_timer.setSingleShot(true);
    m_timer.start(m_retryMs);
}

void PortReopener::stop()
{
    m_active = false;
    m_timer.stop();
    m_probation.stop();
    if (std::exchange(m_searching, false) && m_resolver)
        m_resolver->cancel();
    discardAttempt();
    if (!m_directories.directories().isEmpty())
        m_directories.removePaths(m_directories.directories());
}

void PortReopener::discardAttempt()
{
    if (!m_attempt)
        return;
    LineTransport *attempt = m_attempt;
    m_attempt = nullptr;
    attempt->disconnect(this);
    attempt->close();
    // Later: this may run inside one of the attempt's own signals.
    attempt->deleteLater();
}

void PortReopener::tryNow()
{
    if (!m_active || m_attempt)
        return; // one attempt at a time
    ++m_attempts;
    m_attempt = CreateLineTransport(m_comPort, m_line, this);
    connect(m_attempt, &LineTransport::openFinished, this, &PortReopener::attemptOpenFinished);
    connect(m_attempt, &LineTransport::lost, this, &PortReopener::attemptLost);
    m_attempt->startOpen(m_settings);
}

void PortReopener::attemptOpenFinished(bool opened)
{
    if (!opened) {
        failAttempt(m_attempt->openFailure());
        return;
    }
    if (m_line.kind->probationMs == 0) {
        handOver();
        return;
    }
    m_probation.start(m_line.kind->probationMs);
    emit probationStarted();
}

void PortReopener::attemptLost()
{
    if (!m_probation.isActive())
        return;
    m_probation.stop();
    LineFailure why = m_attempt->failure(LineError::DroppedOnProbation);
    why.milliseconds = m_line.kind->probationMs;
    failAttempt(why);
}

void PortReopener::searchNow()
{
    if (!m_active || m_attempt || m_searching)
        return;
    if (!m_resolver) { // nobody here can probe lines: the instrument cannot be found
        LineFailure why;
        why.error = LineError::NoInstrumentMatches;
        why.comPort = m_comPort;
        why.binding = m_address.binding;
        ++m_attempts;
        failAttempt(why);
        return;
    }
    m_searching = true;
    m_resolver->resolve(m_comPort, m_address, [this](const IdentityResolver::Result &result) {
        m_searching = false;
        if (!m_active)
            return;
        if (result.failure) {
            // Not back, or not alone: either way nothing is opened, and the search goes on.
            ++m_attempts;
            failAttempt(*result.failure);
            return;
        }
        m_line = ParseLineAddress(result.line);
        tryNow();
    });
}

void PortReopener::failAttempt(const LineFailure &why)
{
    discardAttempt();
    if (!watchesPath()) {
        m_retryMs = std::min(2 * m_retryMs, LongestRetryMs);
        m_timer.start(m_retryMs);
    }
    // Not back yet, or not usable yet: quietly, the owner decides what to say.
    emit attemptFailed(m_attempts, why);
}

void PortReopener::handOver()
{
    LineTransport *transport = m_attempt;
    m_attempt = nullptr;
    transport->disconnect(this);
    stop();
    emit reopened(transport);
}

void PortReopener::checkPath()
{
    if (m_active && watchesPath() && QFileInfo::exists(m_address.binding))
        tryNow();
}

void PortReopener::watchNearestDirectory()
{
    if (!m_active || !watchesPath())
        return;
    // /dev/serial/by-id itself goes when the last adapter is pulled: then its parent is
    // watched until it is back.
    QDir directory = QFileInfo(m_address.binding).absoluteDir();
    while (!directory.exists() && !directory.isRoot())
        directory.setPath(QFileInfo(directory.absolutePath()).absolutePath());
    const QString path = directory.absolutePath();
    if (m_directories.directories() == QStringList{path})
        return;
    if (!m_directories.directories().isEmpty())
        m_directories.removePaths(m_directories.directories());
    m_directories.addPath(path);
}
