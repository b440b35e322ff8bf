#include "simline.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

SimLine::SimLine(int fd, const Instrument::Options &device, const Timing &timing, QObject *parent)
    : QObject(parent), m_fd(fd), m_device(device), m_timing(timing), m_noise(device.seed)
{
    m_clock.start();
    m_reader = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_reader, &QSocketNotifier::activated, this, &SimLine::readLine);
    m_pacer = new QTimer(this);
    m_pacer->setTimerType(Qt::PreciseTimer);
    m_pacer->setInterval(2);
    connect(m_pacer, &QTimer::timeout, this, &SimLine::pump);
    // A message without CR/LF is complete once the line has been quiet this long.
    m_idle = new QTimer(this);
    m_idle->setSingleShot(true);
    m_idle->setInterval(100);
    connect(m_idle, &QTimer::timeout, this, [this] {
        QList<Instrument::Exchange> done;
        const QByteArray reply = m_device.flushPending(&done);
        for (const auto &exchange : done)
            trace("rx", exchange.message);
        answerEach(reply, done);
    });
}

SimLine::~SimLine()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void SimLine::readLine()
{
    char buffer[65536];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n <= 0) {
        // EIO: nobody has the port open just now. Wait for the application to open it again.
        if (n < 0 && errno != EAGAIN)
            ::usleep(20000);
        return;
    }
    if (!atLineSpeed()) {
        trace("rx at the wrong speed", QByteArray(buffer, n));
        answer(framingGarbage(n));
        return;
    }
    QList<Instrument::Exchange> done;
    const int before = m_device.messagesHandled();
    const QByteArray reply = m_device.receive(QByteArray(buffer, n), &done);
    for (const auto &exchange : done)
        trace("rx", exchange.message);
    if (m_device.hasPending())
        m_idle->start();
    if (m_timing.hangupAfter > 0 && before < m_timing.hangupAfter
            && m_device.messagesHandled() >= m_timing.hangupAfter) {
        // Hang up in the middle of the answer, the worst moment for the other side.
        answer(reply.left(qMax<qsizetype>(1, reply.size() / 2)));
        m_hangingUp = true;
        QTimer::singleShot(m_timing.delayMs + 50, this, &SimLine::hangUp);
        return;
    }
    answerEach(reply, done);
}

void SimLine::answerEach(const QByteArray &reply, const QList<Instrument::Exchange> &done)
{
    if (m_timing.lateMs.isEmpty()) {
        if (!reply.isEmpty())
            answer(reply);
        return;
    }
    qsizetype answers = 0;
    for (const auto &exchange : done)
        answers += exchange.answer.size();
    if (reply.size() > answers)
        answer(reply.left(reply.size() - answers)); // the echo, at once
    for (const auto &exchange : done)
        if (!exchange.answer.isEmpty())
            answer(exchange.answer, m_timing.lateMs.value(exchange.listener));
}

void SimLine::answer(const QByteArray &bytes, int lateMs)
{
    const int delayMs = m_timing.delayMs + lateMs;
    if (delayMs > 0)
        QTimer::singleShot(delayMs, Qt::PreciseTimer, this, [this, bytes] { queue(bytes); });
    else
        queue(bytes);
}

void SimLine::queue(const QByteArray &bytes)
{
    trace("tx", bytes);
    if (m_out.isEmpty()) {
        m_lastPump = m_clock.nsecsElapsed();
        m_pacedBudget = 0;
    }
    m_out += bytes;
    pump();
}

void SimLine::pump()
{
    if (m_fd < 0)
        return;
    qsizetype allowed = m_out.size();
    if (m_timing.baud > 0) {
        const qint64 now = m_clock.nsecsElapsed();
        m_pacedBudget += double(now - m_lastPump) / 1e9 * m_timing.baud / 10.0;
        m_lastPump = now;
        allowed = qMin<qsizetype>(m_out.size(), qsizetype(m_pacedBudget));
        m_pacedBudget -= double(allowed);
    }
    while (allowed > 0) {
        const ssize_t n = ::write(m_fd, m_out.constData(), size_t(allowed));
        if (n <= 0)
            break; // the line is full; the next pump goes on
        m_out.remove(0, n);
        allowed -= n;
    }
    if (m_out.isEmpty())
        m_pacer->stop();
    else if (!m_pacer->isActive())
        m_pacer->start();
}

void SimLine::hangUp()
{
    trace("--", "hang-up");
    m_pacer->stop();
    m_reader->setEnabled(false);
    ::close(m_fd);
    m_fd = -1;
    emit hungUp();
}

bool SimLine::atLineSpeed() const
{
    termios settings{};
    if (m_timing.lineSpeed == 0 || ::tcgetattr(m_timing.settingsFd, &settings) != 0)
        return true;
    return ::cfgetispeed(&settings) == m_timing.lineSpeed;
}

QByteArray SimLine::framingGarbage(qsizetype size)
{
    std::uniform_int_distribution<int> byte(0, 255);
    QByteArray noise(size, '\0');
    for (char &c : noise) {
        do
            c = char(byte(m_noise));
        while (c == '\r' || c == '\n' || c == '>');
    }
    return noise;
}

void SimLine::trace(const char *direction, const QByteArray &bytes) const
{
    if (!m_timing.trace || bytes.isEmpty())
        return;
    std::fprintf(stderr, "%10.3f %s %s\n", double(m_clock.elapsed()) / 1000.0, direction,
            bytes.toHex(' ').constData());
    std::fflush(stderr);
}
