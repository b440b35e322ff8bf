#include "linetransport.h"

#include "rfc2217transport.h"
#include "serialtransport.h"
#include "tcptransport.h"

LineTransport::LineTransport(int comPort, const QString &binding, QObject *parent)
    : QIODevice(parent), m_comPort(comPort), m_binding(binding)
{ }

void LineTransport::beginOpen()
{
    m_opening = true;
    m_lossReported = false;
    m_openFailure.clear();
    m_openNotice.clear();
}

void LineTransport::finishOpen(bool opened, const QString &failure)
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

NetworkBinding ParseNetworkBinding(const QString &binding)
{
    NetworkBinding parsed;
    QString rest;
    if (binding.startsWith(u"socket://", Qt::CaseInsensitive)) {
        parsed.kind = NetworkBinding::Kind::Raw;
        rest = binding.mid(9);
    } else if (binding.startsWith(u"rfc2217://", Qt::CaseInsensitive)) {
        parsed.kind = NetworkBinding::Kind::Rfc2217;
        rest = binding.mid(10);
    } else {
        return parsed;
    }
    // pyserial accepts options after the address ("?logging=debug"); none of them changes what
    // goes on the line, so they are left aside rather than refused.
    rest = rest.section(u'?', 0, 0);
    if (rest.endsWith(u'/'))
        rest.chop(1);
    const qsizetype colon = rest.lastIndexOf(u':');
    if (colon <= 0)
        return parsed;
    QString host = rest.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']')) // an IPv6 address
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = rest.mid(colon + 1).toUInt(&ok);
    if (!ok || port == 0 || port > 65535 || host.isEmpty() || host.contains(u'/'))
        return parsed;
    parsed.host = host;
    parsed.port = quint16(port);
    parsed.valid = true;
    return parsed;
}

LineTransport *CreateLineTransport(int comPort, const QString &binding, QObject *parent)
{
    switch (ParseNetworkBinding(binding).kind) {
    case NetworkBinding::Kind::Raw:
        return new TcpTransport(comPort, binding, parent);
    case NetworkBinding::Kind::Rfc2217:
        return new Rfc2217Transport(comPort, binding, parent);
    case NetworkBinding::Kind::None:
        break;
    }
    return new SerialTransport(comPort, binding, parent);
}
