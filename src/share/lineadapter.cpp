#include "share/lineadapter.h"

#include "line/linehold.h"
#include "line/port/serialcontrol.h"
#include "line/session/linesession.h"
#include "protocol/escapedbytes.h"
#include "protocol/replyreading.h"

#include <QTimer>

#include <algorithm>

using namespace std::chrono;

QString LineAsker::describe() const
{
    return address + u' ' + protocol + u' ' + device;
}

LineAdapter::LineAdapter(LineSession &session, QObject *parent)
    : SharedLine(parent), m_session(session), m_deadlines(new QTimer(this))
{
    m_deadlines->setSingleShot(true);
    m_deadlines->setTimerType(Qt::PreciseTimer);
    connect(m_deadlines, &QTimer::timeout, this, &LineAdapter::expire);
    // The window's exchange, or a tick's, has the line: the next turn comes once it is done.
    connect(&m_session.hold(), &LineHold::ended, this, [this] {
        if (!m_queue.isEmpty())
            scheduleRun();
    });
}

LineAdapter::~LineAdapter() = default;

void LineAdapter::query(const LineQuery &query, Done done)
{
    auto turn = std::make_shared<Turn>();
    turn->query = query;
    turn->done = std::move(done);
    turn->deadline = Clock::now() + std::max(query.timeout, milliseconds(0));
    // The timer is set for the earliest deadline; one that comes later leaves it as it is
    // (setting a timer costs the event loop a wake-up), and it is set anew when it fires.
    const auto left = duration_cast<milliseconds>(turn->deadline - Clock::now());
    m_queue.append(std::move(turn));
    if (!m_deadlines->isActive() || m_deadlines->remainingTime() > left.count())
        armDeadlines();
    scheduleRun();
}

bool LineAdapter::lock(const LineAsker &holder)
{
    if (m_holder)
        return m_holder->id == holder.id;
    m_holder = holder;
    m_session.setLockedBy(holder.describe());
    m_session.port().note(
            Transcript::Word::Lock, holder.describe() + QStringLiteral(" has the line to itself"));
    emit lockChanged();
    return true;
}

void LineAdapter::unlock(quint64 holderId)
{
    if (!m_holder || m_holder->id != holderId)
        return;
    m_session.port().note(
            Transcript::Word::Unlock, m_holder->describe() + QStringLiteral(" lets the line go"));
    m_holder.reset();
    m_session.setLockedBy(QString());
    emit lockChanged();
    scheduleRun();
}

void LineAdapter::cancel(quint64 askerId)
{
    m_queue.removeIf([askerId](const std::shared_ptr<Turn> &turn) {
        return turn->query.asker.id == askerId;
    });
    if (m_onLine && m_onLine->query.asker.id == askerId)
        m_onLine->answered = true;
}

void LineAdapter::scheduleRun()
{
    if (std::exchange(m_runDue, true))
        return;
    QMetaObject::invokeMethod(this, &LineAdapter::run, Qt::QueuedConnection);
}

void LineAdapter::run()
{
    m_runDue = false;
    if (m_onLine || m_session.hold().held())
        return;
    // While one client holds the lock only its turns go; the others keep their places.
    const auto next = std::find_if(
            m_queue.begin(), m_queue.end(), [this](const std::shared_ptr<Turn> &turn) {
                return !m_holder || turn->query.asker.id == m_holder->id;
            });
    if (next == m_queue.end())
        return;
    m_onLine = *next;
    m_queue.erase(next);

    LineAnswer answer;
    {
        LineSession::Turn turn(m_session, m_onLine->query.asker.describe());
        answer = exchange(m_onLine->query);
    }
    const std::shared_ptr<Turn> turn = std::exchange(m_onLine, nullptr);
    emit answered(turn->query.asker, turn->query.message, answer);
    if (!std::exchange(turn->answered, true))
        turn->done(answer);
    if (!m_queue.isEmpty())
        scheduleRun();
}

LineAnswer LineAdapter::exchange(const LineQuery &query)
{
    ExchangeSettings settings;
    settings.framing = query.device.framing;
    settings.addressSet = true;
    settings.autoQuery = true;
    settings.readRequired = query.readReply;
    settings.prompt = query.device.prompt;
    settings.settleSeconds = 0;

    const QString who = query.asker.describe();
    m_session.port().note(Transcript::Word::Client,
            who + QStringLiteral(" sends ") + QString::fromLatin1(EscapedBytes(query.message)));
    const SendOutcome outcome = m_session.send(
            settings, QString::fromLatin1(query.message), ExchangeOrigin::Client, {}, who);

    LineAnswer answer;
    if (outcome.refusal) {
        // An empty message has nothing to go on the line and nothing to wait for.
        if (outcome.refusal->error != ExchangeError::NothingToSend) {
            answer.status = LineAnswer::Status::LineDown;
            answer.detail = DescribeExchangeProblem(*outcome.refusal);
        }
        return answer;
    }
    if (!outcome.reply) {
        // A command without a reply: the prompt, when the interface sends one, says it was taken.
        if (!outcome.written || !m_session.port().PortOpen()) {
            answer.status = LineAnswer::Status::LineDown;
            answer.detail = DescribeExchangeProblem({ExchangeError::PortClosedForSend});
        } else if (!outcome.problems.isEmpty()) {
            answer.status = LineAnswer::Status::Timeout;
            answer.detail = DescribeExchangeProblem(outcome.problems.first());
        }
        return answer;
    }

    const LineWait::Reply &wait = outcome.reply->wait;
    const QByteArray &received = wait.received;
    const char terminator = settings.framing.terminator();
    if (wait.end == LineWait::End::PortClosed) {
        answer.status = LineAnswer::Status::LineDown;
        answer.detail = DescribeExchangeProblem({ExchangeError::PortClosedForRead});
        return answer;
    }
    // Complete once its end has come; the prompt after it is a courtesy a reply can do without.
    const bool ended = terminator == 0 ? !received.isEmpty() : received.contains(terminator);
    if (!ended) {
        answer.status = LineAnswer::Status::Timeout;
        answer.detail = received.isEmpty()
                ? QStringLiteral("No reply came.")
                : QStringLiteral("The reply did not end: %1 bytes came without a line end.")
                          .arg(received.size());
        return answer;
    }
    if (wait.cut) {
        answer.status = LineAnswer::Status::DeviceError;
        answer.detail = DescribeExchangeProblem({ExchangeError::ReplyCut});
        return answer;
    }

    // What the reply says, read as every other user of the line reads it.
    const ReplyReading &reading = outcome.reply->reading;
    if (!reading.trusted(settings.framing.protocol)) {
        answer.status = LineAnswer::Status::DeviceError;
        answer.detail = reading.packet.kind == ReplyPacket::Kind::Nak
                ? QStringLiteral("The instrument refused the packet (NAK).")
                : reading.packet.kind == ReplyPacket::Kind::None
                ? QStringLiteral("The reply is not an ACK packet.")
                : reading.packet.etxPos == 0
                ? QStringLiteral("The reply packet has no ETX.")
                : QStringLiteral("The reply packet's checksum is wrong.");
        return answer;
    }
    answer.replied = outcome.sent.query || query.readReply;
    if (answer.replied)
        answer.reply = reading.text;
    return answer;
}

void LineAdapter::expire()
{
    const auto now = Clock::now();
    LineAnswer late;
    late.status = LineAnswer::Status::Timeout;
    late.detail = QStringLiteral("No reply within the client's time.");
    QList<std::shared_ptr<Turn>> due;
    m_queue.removeIf([&](const std::shared_ptr<Turn> &turn) {
        if (turn->deadline > now)
            return false;
        due.append(turn);
        return true;
    });
    if (m_onLine && !m_onLine->answered && m_onLine->deadline <= now)
        due.append(m_onLine);
    for (const std::shared_ptr<Turn> &turn : std::as_const(due))
        if (!std::exchange(turn->answered, true))
            turn->done(late);
    armDeadlines();
}

void LineAdapter::armDeadlines()
{
    std::optional<Clock::time_point> next;
    for (const std::shared_ptr<Turn> &turn : std::as_const(m_queue))
        next = std::min(next.value_or(turn->deadline), turn->deadline);
    if (m_onLine && !m_onLine->answered)
        next = std::min(next.value_or(m_onLine->deadline), m_onLine->deadline);
    if (!next) {
        m_deadlines->stop();
        return;
    }
    const auto left = duration_cast<milliseconds>(*next - Clock::now()) + milliseconds(1);
    m_deadlines->start(std::max(left, milliseconds(0)));
}
