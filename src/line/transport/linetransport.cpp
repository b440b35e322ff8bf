#include "line/transport/linetransport.h"

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
    return why;
}
