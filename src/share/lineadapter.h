#pragma once

#include "share/sharedline.h"

#include <QList>

#include <chrono>
#include <memory>
#include <optional>

class DeviceExchange;
class LineRecorder;
class LineWait;
class QTimer;
class SerialControl;

// A thin adapter that puts the shared line on today's line classes: the serial control, its
// wait and the one exchange they make together. Each query is one DeviceExchange send, in the
// served device's framing, with no settle: a client's exchange ends as its reply does, and what
// straggles after it is drained before the next write. It takes its turn only while no other
// exchange holds the wait (the window's Send, a loop's tick), and holds the wait for its own, so
// the window's Send is refused meanwhile as during any other exchange.
class LineAdapter : public SharedLine
{
    Q_OBJECT

public:
    // `recorder`, when given, gets each reply read for a client with the client's name; the
    // line's own recording (frames, chunks) goes through the serial control as always.
    LineAdapter(SerialControl &line, LineWait &wait, LineRecorder *recorder = nullptr,
            QObject *parent = nullptr);
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

    SerialControl &m_line;
    LineWait &m_wait;
    LineRecorder *m_recorder;
    std::unique_ptr<DeviceExchange> m_exchange;
    QList<std::shared_ptr<Turn>> m_queue;
    std::shared_ptr<Turn> m_onLine;
    std::optional<LineAsker> m_holder;
    QTimer *m_deadlines;
    bool m_runDue = false;
};
