#include "windows/forms/testloops.h"

#include "line/port/serialcontrol.h"

#include <QTimer>

#include <array>

TestLoops::TestLoops(const SerialControl *line, QObject *parent)
    : QObject(parent), m_line(line), m_timer(new QTimer(this))
{
    m_timer->setTimerType(Qt::PreciseTimer); // "1 sec" means a second, not 950 ms
    m_timer->setInterval(500);
    connect(m_timer, &QTimer::timeout, this, &TestLoops::tick);
}

void TestLoops::choosePeriod(int index)
{
    static constexpr std::array<int, 5> kPeriodsMs = {100, 200, 300, 500, 1000};
    if (index >= 0 && index < int(kPeriodsMs.size()))
        m_timer->setInterval(kPeriodsMs[size_t(index)]);
}

TestLoops::State TestLoops::state() const
{
    if (m_ticking)
        return State::Ticking;
    return m_idnLoop || m_commandLoop ? State::Running : State::Idle;
}

void TestLoops::start(Loop loop)
{
    (loop == Loop::Idn ? m_idnLoop : m_commandLoop) = true;
}

void TestLoops::stop(Loop loop)
{
    (loop == Loop::Idn ? m_idnLoop : m_commandLoop) = false;
    if (m_idnLoop || m_commandLoop)
        return;
    m_count = 0;
    emit countHidden(true);
}

void TestLoops::tick()
{
    // A tick that falls due while an earlier tick's exchange still waits would only find the
    // line busy, and the earlier tick has yet to count. During the operator's own Send or Read
    // a tick runs and counts; its sends are refused as any Send is while another waits.
    if (m_ticking)
        return;
    // With both loops off a tick only keeps the count hidden at 0; the label is left to the
    // Stop Loop buttons.
    if (!m_idnLoop && !m_commandLoop) {
        m_count = 0;
        emit countHidden(false);
        return;
    }
    m_ticking = true;
    // With the port closed (the port window is open, or the device went away) a step sends
    // nothing and reports nothing, rather than beeping an error every 100 ms. Asked before each
    // step: Initialize closes the port while the first step may still be waiting. A loop
    // stopped meanwhile takes no further step; the tick under way still counts.
    if (m_idnLoop && m_line->PortOpen())
        emit idnStepDue();
    if (m_commandLoop && m_line->PortOpen())
        emit commandStepDue();
    m_ticking = false;
    ++m_count;
    emit counted(m_count);
}
