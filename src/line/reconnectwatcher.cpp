#include "reconnectwatcher.h"

#include "linetransport.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

ReconnectWatcher::ReconnectWatcher(QObject *parent) : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_network)
            emit tryNow();
        else
            checkPath();
    });
    connect(&m_directories, &QFileSystemWatcher::directoryChanged, this, [this] {
        // A directory on the way may have come back; watch the deepest one again.
        watchNearestDirectory();
        checkPath();
    });
}

void ReconnectWatcher::watch(const QString &binding)
{
    stop();
    m_binding = binding;
    m_network = ParseNetworkBinding(binding).kind != NetworkBinding::Kind::None;
    m_retryMs = FirstRetryMs;
    if (m_network) {
        m_timer.setSingleShot(true);
        m_timer.start(m_retryMs);
        return;
    }
    watchNearestDirectory();
    m_timer.setSingleShot(false);
    m_timer.start(PathCheckMs);
}

void ReconnectWatcher::stop()
{
    m_binding.clear();
    m_timer.stop();
    if (!m_directories.directories().isEmpty())
        m_directories.removePaths(m_directories.directories());
}

void ReconnectWatcher::attemptFailed()
{
    if (!active() || !m_network)
        return;
    m_retryMs = std::min(2 * m_retryMs, LongestRetryMs);
    m_timer.start(m_retryMs);
}

void ReconnectWatcher::checkPath()
{
    if (active() && !m_network && QFileInfo::exists(m_binding))
        emit tryNow();
}

void ReconnectWatcher::watchNearestDirectory()
{
    if (!active() || m_network)
        return;
    // /dev/serial/by-id itself goes when the last adapter is pulled: then its parent is
    // watched until it is back.
    QDir directory = QFileInfo(m_binding).absoluteDir();
    while (!directory.exists() && !directory.isRoot())
        directory.setPath(QFileInfo(directory.absolutePath()).absolutePath());
    const QString path = directory.absolutePath();
    if (m_directories.directories() == QStringList{path})
        return;
    if (!m_directories.directories().isEmpty())
        m_directories.removePaths(m_directories.directories());
    m_directories.addPath(path);
}

QString DescribeReopenedPort(int comPort, const QString &binding, const QString &settings)
{
    return QStringLiteral("COM %1 (%2) is back: reopened at %3")
            .arg(comPort)
            .arg(binding, settings);
}
