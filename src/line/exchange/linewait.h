#pragma once

#include <QByteArray>
#include <QEventLoop>
#include <QObject>
#include <QString>

#include "line/linehold.h"

#include <chrono>
#include <functional>

class QSocketNotifier;
class QTimer;
class SerialControl;

// Waiting for the device. A wait is a run of counted polls; each poll lets the application
// handle its pending events and takes what the line has brought. Between polls on a quiet line
// the thread sleeps in the event loop itself, so a byte from the device, a click, a timer or an
// accessibility request each end the sleep at once; only the first millisecond of a wait
// watches the line alone. Every wait also ends when the time its polls stand for has passed on
// the clock, however slow the polls: a peer that keeps the application busy (a flood of Telnet
// commands, say) cannot stretch it.
//
// It also keeps the rule that only one exchange waits on the line at a time: the waits let
// clicks and timer ticks run, and a nested Send would take the reply its outer Read waits for.
class LineWait : public QObject
{
    Q_OBJECT

public:
    // Every poll lasts at least this long. The waits are counted in polls; without a floor their
    // length would shrink with every faster machine until a normal device looked silent.
    static constexpr std::chrono::microseconds PollPeriod{100};
    // The longest single sleep on a quiet line, in poll periods (100 ms). The sleep ends at
    // once on input and lets every other event run, so only the CPU of needless wake-ups
    // depends on it.
    static constexpr int MaxIdlePeriods = 1000;
    // The first sleep of each wait watches the line alone, for at most this long: most replies
    // come within it, and a turn of the event loop would cost a short exchange more than all
    // the rest of its wait. Events wait that long once per wait, far less than in the settle.
    static constexpr std::chrono::microseconds LineOnlySleep{1000};

    explicit LineWait(SerialControl *line, QObject *parent = nullptr);
    ~LineWait() override;

    enum class End { Found, OutOfPolls, PortClosed };

    // The most a reply keeps. Past it the rest is still read, so that it is not taken for the
    // next reply, but discarded, and the reply is marked cut.
    static constexpr qsizetype ReplyCapBytes = qsizetype(8) * 1024 * 1024;

    // Polls until `wanted` has been received (0: until anything has), for at most maxCount + 1
    // poll periods. A byte received before this wait counts as well. Ends early when the port
    // goes away, since nothing more can arrive then. `received` keeps at most ReplyCapBytes.
    End waitFor(QByteArray &received, char wanted, int maxCount);

    // Takes what is still buffered, poll by poll, until the buffer is empty (at most
    // maxCount + 1 polls). Never sleeps: after the settle, whatever the device sent is there.
    void drain(QByteArray &received, int maxCount);

    // How long the reply sequence may wait, in polls: a 3 s bound for the terminator, 1 s for
    // the prompt, and the drain stops on an empty buffer long before its bound.
    static constexpr int TerminatorPolls = 30000;
    static constexpr int PromptPolls = 10000;
    static constexpr int DrainPolls = 1000;
    // The device may still be sending the tail of its reply when the terminator arrives.
    static constexpr double SettleSeconds = 0.02;

    struct Reply
    {
        QByteArray received;
        End end = End::Found; // how the last wait ended
        bool promptMissing = false; // the prompt was asked for and did not come in time
        bool cut = false; // more than ReplyCapBytes came: the rest was read and discarded
    };

    // The whole reading of a reply: until `terminator` (0: until anything), then until the
    // prompt when `prompt` is set, the settle, and a drain of what is left. A port that goes
    // away ends it early, with what did arrive. `whileSettling` gets what has been received
    // as the settle begins, in time the settle spends waiting anyway. `settleSeconds` 0 drains
    // at once.
    Reply readReply(char terminator, bool prompt,
            const std::function<void(const QByteArray &)> &whileSettling = {},
            double settleSeconds = SettleSeconds);

    // After a command that wants no reply read: waits for the prompt and discards what came
    // with it. False when the prompt did not come within its bound.
    bool waitForPrompt();

    // A busy wait of `seconds` that lets no other event run, so nothing can slip between a
    // reply's last byte and the drain. Sleeps for most of it, so a loop running all night does
    // not keep a core busy, and spins only the last stretch, since a thread wakes a little late.
    // `meanwhile` runs first, while what it works on is still fresh in the caches; what it takes
    // beyond the settle's end lengthens it.
    // With a line `watched`, what it holds is taken in as the spin begins, and the hold's batch
    // of records is told then.
    static void settle(double seconds, const std::function<void()> &meanwhile = {},
            SerialControl *watched = nullptr, LineHold *hold = nullptr);

    // Whether an exchange holds the line, and how far it has come.
    LineHold &hold() { return m_hold; }
    const LineHold &hold() const { return m_hold; }
    bool busy() const { return m_hold.held(); }

    // Holds the line for one exchange, for its lifetime.
    class Hold
    {
    public:
        explicit Hold(LineWait &wait, const QString &holder = QString());
        ~Hold();
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;

    private:
        LineWait &m_wait;
    };

private:
    using Clock = std::chrono::steady_clock;

    // Lets the application handle its events, announcing the first time in an exchange.
    void letEventsRun(QEventLoop::ProcessEventsFlags flags);
    // Lets events run and takes what arrived. Starts a new poll period on the grid.
    QByteArray poll();
    // Appends to `received` what fits under ReplyCapBytes; notes a cut when not all of it did.
    void keep(QByteArray &received, const QByteArray &arrived);
    // Ends the current poll period: when nothing arrived, sleeps until a byte comes, up to
    // `periodsLeft` periods (at most MaxIdlePeriods) have passed, or `deadline`. Returns the
    // periods used.
    int finishPeriod(bool arrived, int periodsLeft, Clock::time_point deadline);
    // When a wait of maxCount + 1 polls ends on the clock, if it started now.
    static Clock::time_point deadlineFor(int maxCount);
    // Runs the event loop until `deadline`, or until the line has input or has gone.
    void sleepUntil(Clock::time_point deadline);

    SerialControl *m_line;
    LineHold m_hold;
    bool m_cut = false; // something was discarded over the cap since the reply began
    // The next poll takes what has been read without a turn of the event loop: the sleep that
    // ended on input has taken it in, or a sleep that follows an empty poll will.
    bool m_nextPollTakesOnly = false;
    bool m_lineOnlySleepLeft = false; // this wait has not slept on the line alone yet
    Clock::time_point m_periodStart;
    Clock::time_point m_gridEnd;
    int m_timerFd = -1;
    QSocketNotifier *m_timerNotifier = nullptr;
    QTimer *m_fallbackTimer = nullptr;
};
