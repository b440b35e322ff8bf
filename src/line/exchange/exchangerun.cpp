#include "line/exchange/exchangerun.h"

#include "line/exchange/linewait.h"
#include "line/port/serialcontrol.h"

#include <algorithm>

ExchangeRun::ExchangeRun(SerialControl &line, LineHold &hold, QObject *parent)
    : QObject(parent), m_line(line), m_hold(hold)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ExchangeRun::timedOut);
    connect(&m_line, &SerialControl::inputForExchange, this, &ExchangeRun::arrived);
    connect(&m_line, &SerialControl::settingsSettled, this, [this] {
        if (m_phase == Phase::AwaitingSettings)
            write();
    });
    connect(&m_line, &SerialControl::stateChanged, this, [this] {
        if (m_phase != Phase::Idle && !m_line.PortOpen())
            finish(End::LineGone);
    });
}

ExchangeRun::~ExchangeRun()
{
    stop();
}

bool ExchangeRun::replyEnded(const QByteArray &received, const Framing &framing)
{
    if (received.contains(Wire::Prompt))
        return true;
    if (framing.protocol == Framing::Protocol::Packet) {
        const ReplyPacket packet = CheckReplyPacket(received);
        if (packet.kind != ReplyPacket::Kind::None && packet.checksumPresent)
            return true;
    }
    const char terminator = framing.terminator();
    return terminator == 0 ? !received.isEmpty() : received.contains(terminator);
}

void ExchangeRun::start(
        const QByteArray &frame, const Framing &framing, const Waits &waits, const QString &holder)
{
    stop();
    m_frame = frame;
    m_framing = framing;
    m_waits = waits;
    m_result = Result();
    m_hold.begin(holder);
    m_hold.yield(); // nothing here keeps events out: the line is recorded live
    m_line.takeDroppedCount();
    if (m_line.settingsPending())
        enter(Phase::AwaitingSettings, -1); // settingsSettled() goes on, within the line's bound
    else
        write();
}

void ExchangeRun::write()
{
    // Whatever came late for an exchange before, or while the settings settled, would be taken
    // for this one's reply.
    m_result.drained = m_line.discardInput().left(LineWait::ReplyCapBytes);
    if (!m_frame.isEmpty() && !m_line.Output(m_frame)) {
        finish(End::LineGone);
        return;
    }
    m_sent.start();
    m_result.writtenAt = m_sent.msecsSinceReference();
    enter(Phase::AwaitingReply, m_waits.replyStartMs);
    // What the line brought with the write is there already, with no signal of its own to come.
    if (m_line.InBufferCount() > 0)
        arrived();
}

void ExchangeRun::enter(Phase phase, int waitMs)
{
    m_phase = phase;
    if (waitMs >= 0)
        m_timer.start(waitMs);
    else
        m_timer.stop();
}

void ExchangeRun::arrived()
{
    if (m_phase == Phase::Idle || m_phase == Phase::AwaitingSettings)
        return;
    const QByteArray bytes = m_line.Input();
    if (bytes.isEmpty())
        return;
    const qsizetype room
            = std::max<qsizetype>(0, LineWait::ReplyCapBytes - m_result.received.size());
    m_result.cut = m_result.cut || bytes.size() > room;
    m_result.received.append(bytes.constData(), std::min(room, bytes.size()));
    if (m_phase == Phase::AwaitingReply) {
        m_result.beganAfterMs = int(m_sent.elapsed());
        enter(Phase::Receiving, m_waits.replyMs);
    }
    if (m_phase == Phase::Receiving && replyEnded(m_result.received, m_framing)) {
        if (m_waits.promptMs <= 0 || m_result.received.contains(Wire::Prompt)) {
            finish(End::Complete);
            return;
        }
        enter(Phase::AwaitingPrompt, m_waits.promptMs);
    }
    if (m_phase == Phase::AwaitingPrompt && m_result.received.contains(Wire::Prompt))
        finish(End::Complete);
}

void ExchangeRun::timedOut()
{
    switch (m_phase) {
    case Phase::AwaitingReply:
        finish(End::NoReply);
        break;
    case Phase::Receiving:
        finish(End::Unfinished);
        break;
    case Phase::AwaitingPrompt:
        finish(End::PromptMissing);
        break;
    case Phase::Idle:
    case Phase::AwaitingSettings:
        break;
    }
}

void ExchangeRun::finish(End end)
{
    if (m_phase == Phase::Idle)
        return;
    m_result.end = end;
    stop();
    emit finished(m_result);
}

void ExchangeRun::stop()
{
    if (m_phase == Phase::Idle)
        return;
    m_phase = Phase::Idle;
    m_timer.stop();
    m_hold.end();
}
