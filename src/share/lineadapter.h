#pragma once

#include "share/sharedline.h"

#include <QList>

#include <chrono>
#include <memory>
#include <optional>

class LineSession;
class QTimer;

// The shared line on the line session: each query is one exchange of the session, in the
// served device's framing, with no settle: a client's exchange ends as its reply does, and what
// straggles after it is drained before the next write. It takes its turn only while no other
// exchange holds the line (the window's Send, a loop's tick), and holds it for its own; a lock
// is the session's, so the window knows who holds the line.
class LineAdapter : public SharedLine
{
    Q_OBJECT

public:
    explicit LineAdapter(LineSession &session, QObject *parent = nullptr);
    ~LineAdapter() override;

    void query(const LineQuery &query, Done done) override;
    bool lock(const LineAsker &holder) override;
    void unlock(quint64 holderId) override;
    std::optional<LineAsker> lockHolder() const override { return m_holder; }
    void cancel(quint64 askerId) override;

    // Exchanges waiting for their turn, the one on the line not counted.
    qsizetype waiting() const { return m_queue.size(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Turn
    {
        LineQuery query;
        Done done;
        Clock::time_point deadline;
        bool answered = false; // told already: its time ran out, or its client went
    };

    void scheduleRun();
    // Takes the next turn while the line is free; one exchange per pass, so the window and the
    // sockets are heard between two.
    void run();
    LineAnswer exchange(const LineQuery &query);
    // Answers the turns whose time has run out, and sets the timer for the next.
    void expire();
    void armDeadlines();

    LineSession &m_session;
    QList<std::shared_ptr<Turn>> m_queue;
    std::shared_ptr<Turn> m_onLine;
    std::optional<LineAsker> m_holder;
    QTimer *m_deadlines;
    bool m_runDue = false;
};
