#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

// Waits for a lost line to come back, without polling it hard: for a device path it watches
// the directory the path lives in (a USB adapter, a relay's link reappearing) and looks again
// every PathCheckMs for file systems that report nothing (the pseudo-terminals' own); for a
// network URL it says when to try again, backing off from FirstRetryMs to LongestRetryMs.
// It only says when to try (tryNow()); the serial control opens.
class ReconnectWatcher : public QObject
{
    Q_OBJECT

public:
    static constexpr int PathCheckMs = 500;
    static constexpr int FirstRetryMs = 500;
    static constexpr int LongestRetryMs = 5000;

    explicit ReconnectWatcher(QObject *parent = nullptr);

    void watch(const QString &binding);
    void stop();
    bool active() const { return !m_binding.isEmpty(); }
    // The last try did not open the line: for a network URL, the next one comes later.
    void attemptFailed();

signals:
    void tryNow();

private:
    void checkPath();
    void watchNearestDirectory();

    QString m_binding;
    bool m_network = false;
    int m_retryMs = FirstRetryMs;
    QTimer m_timer;
    QFileSystemWatcher m_directories;
};

// What the operator reads when a lost port has been opened again by itself.
QString DescribeReopenedPort(int comPort, const QString &binding, const QString &settings);
