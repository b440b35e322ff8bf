#include "line/session/linesession.h"

#include "line/exchange/linewait.h"
#include "line/port/serialcontrol.h"
#include "line/record/linerecorder.h"

#include <QTimer>

#include <algorithm>
#include <utility>

LineSession::LineSession(const LineSessionOptions &options, QObject *parent)
    : QObject(parent),
      m_options(options),
      m_recorder(options.recorder),
      m_port(new SerialControl(this)),
      m_wait(new LineWait(m_port, this)),
      m_exchange(*m_port, *m_wait),
      m_run(new ExchangeRun(*m_port, m_wait->hold(), this))
{
    m_port->setCommPort(options.comPort);
    m_port->setBinding(options.binding);
    m_port->setSettings(options.settings);
    m_port->setReopen(options.reopen);
    m_port->setIdentityResolver(options.identityResolver);
    m_port->setRecorder(options.recorder);
    if (m_recorder)
        m_recorder->setHold(&m_wait->hold());
    connect(m_run, &ExchangeRun::finished, this, [this](const ExchangeRun::Result &result) {
        const quint64 id = std::exchange(m_running, 0);
        auto done = std::find_if(m_queue.begin(), m_queue.end(),
                [id](const Queued &queued) { return queued.id == id; });
        if (done != m_queue.end()) {
            const Submitted reply = std::move(done->done);
            m_queue.erase(done);
            reply(result);
        }
        startNextSubmission();
    });
    // A submission waits while a window's or a script's exchange holds the line. Its turn comes
    // once that has returned, not from inside its wait.
    connect(&m_wait->hold(), &LineHold::ended, this, &LineSession::startNextSubmission,
            Qt::QueuedConnection);
}

LineSession::~LineSession()
{
    // The recorder may well outlive the session (main's), or be gone before it (a window's own).
    if (m_recorder)
        m_recorder->setHold(nullptr);
    m_run->stop();
}

LineSession::Turn::Turn(LineSession &session, const QString &holder)
    : m_hold(*session.m_wait, holder)
{ }

LineSession::Turn::~Turn() = default;

const LineHold &LineSession::hold() const
{
    return m_wait->hold();
}

bool LineSession::open()
{
    return m_port->setPortOpen(true);
}

void LineSession::setComPort(int comPort)
{
    m_options.comPort = comPort;
    m_port->setCommPort(comPort);
}

bool LineSession::setSettings(const QString &settings)
{
    if (!m_port->setSettings(settings))
        return false;
    m_options.settings = settings;
    return true;
}

void LineSession::close()
{
    m_port->setPortOpen(false);
}

SendOutcome LineSession::send(const ExchangeSettings &settings, const QString &command,
        ExchangeOrigin origin, const std::function<void(const SentFrame &)> &framed,
        const QString &asker)
{
    SendOutcome outcome = m_exchange.send(settings, command, framed);
    if (outcome.reply)
        record(origin, command, *outcome.reply, asker);
    return outcome;
}

ReplyOutcome LineSession::read(const ExchangeSettings &settings, bool lastWasQuery,
        ExchangeOrigin origin, const QString &command)
{
    ReplyOutcome outcome = m_exchange.read(settings, lastWasQuery);
    record(origin, command, outcome);
    return outcome;
}

void LineSession::record(ExchangeOrigin origin, const QString &command, const ReplyOutcome &reply,
        const QString &asker)
{
    // A read that the port's closing cut short (Initialize pressed, the device gone) is no reply.
    if (!m_options.recorder || !m_options.recordedReplies.contains(origin) || !m_port->PortOpen())
        return;
    m_options.recorder->replyRead(m_port->CommPort(), command, reply.wait.received,
            reply.display.results, reply.reading.number, asker);
}

quint64 LineSession::submit(const Submission &submission, const Submitted &done)
{
    const quint64 id = ++m_lastId;
    m_queue.push_back({id, submission, done});
    startNextSubmission();
    return id;
}

void LineSession::withdraw(quint64 id)
{
    if (id == m_running) {
        m_running = 0;
        m_run->stop();
        QTimer::singleShot(0, this, &LineSession::startNextSubmission);
    }
    m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                          [id](const Queued &queued) { return queued.id == id; }),
            m_queue.end());
}

void LineSession::startNextSubmission()
{
    if (m_running != 0 || m_queue.empty() || m_wait->busy())
        return;
    Queued &next = m_queue.front();
    if (!m_port->PortOpen()) {
        const Submitted done = std::move(next.done);
        m_queue.pop_front();
        ExchangeRun::Result gone;
        gone.end = ExchangeRun::End::LineGone;
        done(gone);
        startNextSubmission();
        return;
    }
    m_running = next.id;
    m_run->start(next.submission.frame, next.submission.framing, next.submission.waits,
            next.submission.holder);
}
