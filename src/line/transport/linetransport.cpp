#include "line/transport/linetransport.h"

#include <algorithm>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <poll.h>
#include <time.h>
#endif

LineTransport::LineTransport(int comPort, const LineAddress &address, QObject *parent)
    : QIODevice(parent), m_comPort(comPort), m_address(address)
{ }

void LineTransport::beginOpen()
{
    m_opening = true;
    m_lossReported = false;
    m_openFailure = {};
    m_openNotice.clear();
}

void LineTransport::finishOpen(bool opened, const LineFailure &failure)
{
    if (!m_opening)
        return;
    m_opening = false;
    m_openFailure = failure;
    emit openFinished(opened);
}

void LineTransport::reportLoss(const QString &systemText)
{
    // A dying line tends to raise one error after another until it is closed.
    if (m_lossReported || !isOpen())
        return;
    m_lossReported = true;
    emit lost(systemText);
}

LineFailure LineTransport::failure(LineError error, const QString &detail) const
{
    LineFailure why;
    why.error = error;
    why.comPort = m_comPort;
    why.binding = m_address.binding;
    why.host = m_address.host;
    why.port = m_address.port;
    why.detail = detail;
    if (error == LineError::NoAnswer)
        why.milliseconds = OpenTimeoutMs;
    return why;
}

bool LineTransport::descriptorReadable(qintptr descriptor, std::chrono::microseconds wait)
{
#ifdef Q_OS_UNIX
    using namespace std::chrono;
    pollfd line{int(descriptor), POLLIN, 0};
    const auto until = steady_clock::now() + wait;
    for (;;) {
        const auto left
                = std::max(duration_cast<nanoseconds>(until - steady_clock::now()), nanoseconds(0));
        const timespec timeout{static_cast<time_t>(left.count() / 1000000000),
                static_cast<long>(left.count() % 1000000000)};
        const int ready = ::ppoll(&line, 1, &timeout, nullptr);
        if (ready >= 0 || errno != EINTR)
            return ready > 0;
    }
#else
    Q_UNUSED(descriptor);
    Q_UNUSED(wait);
    return false;
#endif
}
