#include "line/transport/transportregistry.h"

#include "line/transport/rfc2217transport.h"
#include "line/transport/serialtransport.h"
#include "line/transport/tcptransport.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

template<typename Transport>
LineTransport *create(int comPort, const LineAddress &address, QObject *parent)
{
    return new Transport(comPort, address, parent);
}

// Long enough for a server that accepts and then drops us to show it; short enough that a
// server that is really back is soon said to be.
constexpr int NetworkProbationMs = 2000;

// HOST:PORT, HOST:PORT/ or [IPv6]:PORT, then perhaps ?options. Nothing is left aside: an option
// we do not know might have been meant to change the line.
void parseNetworkAddress(const QString &rest, LineAddress &address)
{
    const qsizetype query = rest.indexOf(u'?');
    QString where = rest.left(query);
    if (query >= 0 && query + 1 < rest.size()) {
        address.problem = LineError::UnknownOption;
        address.problemDetail = rest.mid(query + 1).section(u'&', 0, 0).section(u'=', 0, 0);
        return;
    }
    if (where.endsWith(u'/'))
        where.chop(1);
    const qsizetype colon = where.lastIndexOf(u':');
    QString host = where.left(std::max<qsizetype>(colon, 0));
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = where.mid(colon + 1).toUInt(&ok);
    if (colon <= 0 || !ok || port == 0 || port > 65535 || host.isEmpty() || host.contains(u'/')) {
        address.problem = LineError::BadAddress;
        return;
    }
    address.host = host;
    address.port = quint16(port);
}

} // namespace

const QList<TransportKind> &TransportKinds()
{
    using R = TransportKind::Reopen;
    static const QList<TransportKind> kinds = {
            {QStringLiteral("socket"), QStringLiteral("network, raw TCP"), R::RetryWithBackOff,
                    NetworkProbationMs, &create<TcpTransport>, nullptr},
            {QStringLiteral("rfc2217"), QStringLiteral("network, RFC 2217"), R::RetryWithBackOff,
                    NetworkProbationMs, &create<Rfc2217Transport>, nullptr},
            {QStringLiteral("idn"), QStringLiteral("found by its answer to *IDN?"),
                    R::SearchByIdentity, 0, nullptr, nullptr},
            {QString(), QString(), R::WatchPath, 0, &create<SerialTransport>,
                    &SerialTransport::availablePorts},
    };
    return kinds;
}

QList<SerialPortEntry> SystemSerialPorts()
{
    QList<SerialPortEntry> ports;
    for (const TransportKind &kind : TransportKinds())
        if (kind.list)
            ports += kind.list();
    return ports;
}

LineAddress ParseLineAddress(const QString &binding)
{
    LineAddress address;
    address.binding = binding;
    address.kind = &TransportKinds().constLast();
    // No device path starts so; the pattern may hold anything, "://" included.
    if (binding.startsWith(IdentityPrefix, Qt::CaseInsensitive)) {
        address.kind = &*std::find_if(TransportKinds().cbegin(), TransportKinds().cend(),
                [](const TransportKind &kind) { return !kind.create; });
        address.identityPattern = binding.mid(IdentityPrefix.size());
        return address;
    }
    static const QRegularExpression schemePattern(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://"));
    const QRegularExpressionMatch scheme = schemePattern.match(binding);
    if (!scheme.hasMatch())
        return address;
    for (const TransportKind &kind : TransportKinds()) {
        if (kind.create && !kind.scheme.isEmpty()
                && kind.scheme.compare(scheme.captured(1), Qt::CaseInsensitive) == 0) {
            address.kind = &kind;
            parseNetworkAddress(binding.mid(scheme.capturedLength()), address);
            return address;
        }
    }
    // Not a path anyone would give a device, and not a kind of address we know.
    address.problem = LineError::BadAddress;
    return address;
}

LineTransport *CreateLineTransport(int comPort, const LineAddress &address, QObject *parent)
{
    return address.kind->create(comPort, address, parent);
}
