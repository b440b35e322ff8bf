#include "line/exchange/linewait.h"

#include "line/port/serialcontrol.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "protocol/framing.h"

#include <algorithm>
#include <utility>

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <unistd.h>
#endif
#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/prctl.h>
#include <time.h>
#endif

using namespace std::chrono;

LineWait::LineWait(SerialControl *line, QObject *parent) : QObject(parent), m_line(line)
{
    m_line->setHold(&m_hold);
#ifdef Q_OS_LINUX
    // The sleep between polls has to end on the poll grid to the microsecond, and the event
    // loop's own timers only know milliseconds. A timer file descriptor that the event loop
    // watches wakes it exactly when asked, and unlike a poll time-out it is not stretched by
    // the kernel's timer slack.
    static_assert(std::is_same_v<Clock, steady_clock>);
    m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_timerFd >= 0) {
        m_timerNotifier = new QSocketNotifier(m_timerFd, QSocketNotifier::Read, this);
        connect(m_timerNotifier, &QSocketNotifier::activated, this, [this] {
            quint64 expirations = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_timerFd, &expirations, sizeof expirations);
        });
        return;
    }
#endif
    m_fallbackTimer = new QTimer(this);
    m_fallbackTimer->setSingleShot(true);
    m_fallbackTimer->setTimerType(Qt::PreciseTimer);
}

LineWait::~LineWait()
{
#ifdef Q_OS_LINUX
    delete m_timerNotifier;
    if (m_timerFd >= 0)
        ::close(m_timerFd);
#endif
}

LineWait::Hold::Hold(LineWait &wait, const QString &holder) : m_wait(wait)
{
    m_wait.m_hold.begin(holder);
}

LineWait::Hold::~Hold()
{
    m_wait.m_hold.end();
}

void LineWait::letEventsRun(QEventLoop::ProcessEventsFlags flags)
{
    // From here the operator may act, and watch the wire view, while the exchange waits.
    if (m_hold.phase() == LineHold::Phase::Quiet)
        m_hold.yield();
    QCoreApplication::processEvents(flags);
}

QByteArray LineWait::poll()
{
    // Polls keep to one grid: a sleep that overshoots (a wake-up is never exact) is made up by
    // a shorter one next, so a wait of N periods lasts N periods. After a stall longer than a
    // period, or at the start of a new wait, the grid starts afresh.
    const auto now = Clock::now();
    auto periodEnd = m_gridEnd + PollPeriod;
    if (periodEnd <= now - PollPeriod || periodEnd > now + PollPeriod)
        periodEnd = now + PollPeriod;
    m_periodStart = periodEnd - PollPeriod;

    if (!std::exchange(m_nextPollTakesOnly, false))
        letEventsRun(QEventLoop::AllEvents);
    // Past the cap the reply is only read to be thrown away; the transcript notes the cut.
    return m_cut ? m_line->discardInput() : m_line->Input();
}

void LineWait::keep(QByteArray &received, const QByteArray &arrived)
{
    const qsizetype room = std::max<qsizetype>(0, ReplyCapBytes - received.size());
    const qsizetype taken = std::min(room, arrived.size());
    m_cut = m_cut || taken < arrived.size();
    if (taken == 0)
        return;
    // Grown to the cap in one step rather than doubled past it.
    const qsizetype size = received.size() + taken;
    if (size > received.capacity() && size > ReplyCapBytes / 2)
        received.reserve(ReplyCapBytes);
    received.append(arrived.constData(), taken);
}

LineWait::Clock::time_point LineWait::deadlineFor(int maxCount)
{
    return Clock::now() + (maxCount + 1) * PollPeriod;
}

int LineWait::finishPeriod(bool arrived, int periodsLeft, Clock::time_point deadline)
{
    int periods = 1;
    if (!arrived) {
        // A quiet line is slept on for many periods at once, each counting as one poll:
        // 10,000 wake-ups a second would cost a fifth of a core on their own.
        const int idle = std::clamp(periodsLeft, 1, MaxIdlePeriods);
        sleepUntil(std::min(m_periodStart + idle * PollPeriod, deadline));
        const auto slept = Clock::now() - m_periodStart;
        periods = std::clamp(int((slept + PollPeriod - nanoseconds(1)) / PollPeriod), 1, idle);
    }
    m_gridEnd = m_periodStart + periods * PollPeriod;
    return periods;
}

void LineWait::sleepUntil(Clock::time_point deadline)
{
    auto stillQuiet = [&] {
        return Clock::now() < deadline && m_line->PortOpen() && m_line->InBufferCount() == 0;
    };
    if (!stillQuiet())
        return;
    if (std::exchange(m_lineOnlySleepLeft, false)) {
        const auto lineOnly = std::min(deadline, Clock::now() + LineOnlySleep) - Clock::now();
        // Input that ends it is taken in already: the next poll need not turn the loop for it.
        if (m_line->takeWaiting(duration_cast<microseconds>(lineOnly)) && !stillQuiet()) {
            m_nextPollTakesOnly = true;
            return;
        }
    }
#ifdef Q_OS_LINUX
    if (m_timerFd >= 0) {
        const auto ns = duration_cast<nanoseconds>(deadline.time_since_epoch()).count();
        itimerspec at{};
        at.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        at.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
        ::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &at, nullptr);
        // Events that come meanwhile are handled at once, and the sleep goes on: only input,
        // the loss of the port or the deadline end the period early.
        do
            letEventsRun(QEventLoop::WaitForMoreEvents);
        while (stillQuiet());
        // Woken early: the timer would otherwise fire into a later poll for nothing.
        if (Clock::now() < deadline) {
            const itimerspec off{};
            ::timerfd_settime(m_timerFd, 0, &off, nullptr);
        }
        m_nextPollTakesOnly = true;
        return;
    }
#endif
    const auto left = duration_cast<milliseconds>(
            deadline - Clock::now() + milliseconds(1) - nanoseconds(1));
    m_fallbackTimer->start(std::max(left, milliseconds(0)));
    do
        letEventsRun(QEventLoop::WaitForMoreEvents);
    while (stillQuiet() && m_fallbackTimer->isActive());
    m_fallbackTimer->stop();
    m_nextPollTakesOnly = true;
}

LineWait::End LineWait::waitFor(QByteArray &received, char wanted, int maxCount)
{
    const auto deadline = deadlineFor(maxCount);
    // Looked for in what arrived rather than in what was kept, which the cap may have cut.
    auto found = [&](const QByteArray &arrived) {
        return wanted == 0 ? !received.isEmpty() : arrived.contains(wanted);
    };
    // With nothing received yet the first poll only takes what has been read: should that be
    // nothing, the sleep that follows lets the events run and so reads what the line brought
    // meanwhile. The loop turns once, not twice, before the reply.
    m_nextPollTakesOnly = received.isEmpty();
    m_lineOnlySleepLeft = true;
    if (wanted != 0 && found(received)) {
        // Still one poll, as the counted loop always makes at least one; no sleep after it.
        keep(received, poll());
        finishPeriod(true, 1, deadline);
        return End::Found;
    }
    for (int count = 0;;) {
        const QByteArray arrived = poll();
        keep(received, arrived);
        if (found(arrived)) {
            finishPeriod(true, 1, deadline);
            return End::Found;
        }
        if (!m_line->PortOpen())
            return End::PortClosed;
        count += finishPeriod(!arrived.isEmpty(), maxCount + 1 - count, deadline);
        if (count > maxCount || Clock::now() >= deadline)
            return End::OutOfPolls;
    }
}

void LineWait::drain(QByteArray &received, int maxCount)
{
    const auto deadline = deadlineFor(maxCount);
    for (int count = 0;;) {
        // What came during the settle is still with the system. Taken from there, the drain
        // needs no turn of the event loop, which would let events in that the settle kept out
        // and costs more than the read itself.
        m_nextPollTakesOnly = m_line->takeWaiting();
        // Mostly the line is quiet by now, and one look at the system has said so.
        if (m_nextPollTakesOnly && m_line->InBufferCount() == 0)
            return;
        keep(received, poll());
        finishPeriod(true, 1, deadline);
        ++count;
        if (m_line->InBufferCount() == 0 || count > maxCount || Clock::now() >= deadline)
            return;
    }
}

LineWait::Reply LineWait::readReply(char terminator, bool prompt,
        const std::function<void(const QByteArray &)> &whileSettling, double settleSeconds)
{
    Reply reply;
    m_cut = false;
    reply.end = waitFor(reply.received, terminator, TerminatorPolls);
    if (reply.end != End::PortClosed && prompt) {
        // The prompt mostly comes with the reply's end, in the chunk just taken: found there, it
        // needs no poll of its own, and what follows it is left to the drain after the settle.
        reply.end = reply.received.contains(Wire::Prompt)
                ? End::Found
                : waitFor(reply.received, Wire::Prompt, PromptPolls);
        // Carry on: what did arrive is still worth showing.
        reply.promptMissing = reply.end == End::OutOfPolls;
    }
    settle(
            settleSeconds,
            [&] {
                if (whileSettling)
                    whileSettling(reply.received);
            },
            m_line, &m_hold);
    drain(reply.received, DrainPolls);
    reply.cut = std::exchange(m_cut, false);
    return reply;
}

bool LineWait::waitForPrompt()
{
    // A Velk interface says it is ready for the next message with '>'; what comes before it is
    // of no interest here.
    QByteArray discarded;
    m_cut = false;
    return waitFor(discarded, Wire::Prompt, PromptPolls) != End::OutOfPolls;
}

void LineWait::settle(double seconds, const std::function<void()> &meanwhile,
        SerialControl *watched, LineHold *hold)
{
    const auto start = steady_clock::now();
    if (!(seconds > 0))
        return;
    const auto until = start + duration_cast<steady_clock::duration>(duration<double>(seconds));
    if (meanwhile)
        meanwhile();
#ifdef Q_OS_UNIX
    // Its timer slack the smallest there is (the default, 50 us, would make every wake-up that
    // much later), a thread still wakes late after a long sleep: the processor has gone into a
    // deep idle state, or a virtual one has been handed back to its host, and leaving it takes
    // 0.05 to 0.2 ms. So the sleep ends that much early and only the rest is spun. One wake-up:
    // on a virtual machine each costs the thread tens of microseconds, more than it would save.
    // No margin on top of the usual lateness: every microsecond spun is one of CPU, and a settle
    // that ends a few microseconds late costs the operator nothing.
    static const bool slackSet = ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    constexpr microseconds kLatenessStep{4};
    constexpr microseconds kLatenessCap{500};
    // How late the wake-up and the work after it end, as the median of the settles before: a
    // few wake-ups come a millisecond late, and an average would have every other settle spin
    // for them.
    static thread_local nanoseconds lateness = slackSet ? microseconds(100) : microseconds(150);
    const auto aim = until - lateness;
    const auto ns = duration_cast<nanoseconds>(aim.time_since_epoch()).count();
    const bool slept = steady_clock::now() < aim;
    if (slept) {
        const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) { }
    }
    // The drain that follows looks at the line again: looked at now, in what would be spun
    // anyway, the system's way there is warm by then. What came meanwhile is taken in.
    if (watched)
        watched->takeWaiting(microseconds(0));
    // What the exchange recorded so far is told now, in time that would be spun away: the
    // transcript's and the wire view's work costs the exchange nothing when it fits.
    if (hold)
        hold->spareTime();
    if (slept) {
        lateness += steady_clock::now() - aim > lateness ? kLatenessStep : -kLatenessStep;
        lateness = std::clamp<nanoseconds>(lateness, nanoseconds(0), kLatenessCap);
    }
#endif
    while (steady_clock::now() < until) { }
}
