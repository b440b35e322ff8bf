#pragma once

#include "line/linemessages.h"
#include "line/port/identityresolver.h"
#include "line/serialsettings.h"
#include "line/transport/transportregistry.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class LineTransport;

// Reopens a lost line once it is back, without polling it hard. A device path is watched
// for: the directory it lives in (a USB adapter, a relay's link reappearing), and a look every
// PathCheckMs for file systems that report nothing (the pseudo-terminals' own). A network
// server is tried again after FirstRetryMs, each failed attempt doubling the wait up to
// LongestRetryMs. An instrument bound by identity is searched for as a scan does, after the same
// waits, since it may come back on another line (an adapter plugged in again that became
// ttyUSB1); the line it answers on is then opened. A line whose kind has a probation must stay up
// that long; one that does not is a failed attempt like a refusal, so a server that keeps dropping
// us gets the same back-off.
//
// It opens, counts and discards attempts; what the port does about each is its owner's.
class PortReopener : public QObject
{
    Q_OBJECT

public:
    static constexpr int PathCheckMs = 500;
    static constexpr int FirstRetryMs = 500;
    static constexpr int LongestRetryMs = 5000;

    explicit PortReopener(QObject *parent = nullptr);
    ~PortReopener() override;

    // Starts waiting for `address` to come back, to open it as COM `comPort` with `settings`.
    void start(int comPort, const LineAddress &address, const SerialSettings &settings);
    // Ends the wait and any attempt under way.
    void stop();
    bool active() const { return m_active; }
    // Attempts made since start().
    int attempts() const { return m_attempts; }
    // How a binding by identity is searched for again; it must outlive this reopener.
    void setIdentityResolver(IdentityResolver *resolver) { m_resolver = resolver; }

signals:
    // An attempt opened; it counts once it has stayed up for its probation.
    void probationStarted();
    // An attempt did not open, or did not stay up: the wait goes on.
    void attemptFailed(int attempt, const LineFailure &why);
    // The line is back and open. The receiver takes `transport` over.
    void reopened(LineTransport *transport);

private:
    void tryNow();
    void searchNow();
    void attemptOpenFinished(bool opened);
    void attemptLost();
    void failAttempt(const LineFailure &why);
    void handOver();
    void discardAttempt();
    void checkPath();
    void watchNearestDirectory();
    bool watchesPath() const;
    bool searchesByIdentity() const;

    bool m_active = false;
    int m_comPort = 0;
    LineAddress m_address;
    // What an attempt opens: the address itself, or the line its instrument was found on.
    LineAddress m_line;
    IdentityResolver *m_resolver = nullptr;
    bool m_searching = false;
    SerialSettings m_settings;
    int m_attempts = 0;
    int m_retryMs = FirstRetryMs;
    QPointer<LineTransport> m_attempt;
    QTimer m_timer;
    QTimer m_probation;
    QFileSystemWatcher m_directories;
};
