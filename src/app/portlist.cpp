#include "portlist.h"

#include "line/linemessages.h"
#include "line/scan/identitysearch.h"
#include "protocol/framing.h"

#include <QEventLoop>
#include <QStringList>
#include <QTimer>

std::array<ComBinding, 4> CurrentComBindings()
{
    std::array<ComBinding, 4> bindings;
    bool byIdentity = false;
    for (int n = 1; n <= Wire::ComPorts; ++n) {
        bindings[n - 1] = {DevicePathForComPort(n), ComPortBindingSource(n), {}};
        byIdentity = byIdentity || !ParseLineAddress(bindings[n - 1].device).kind->create;
    }
    if (!byIdentity)
        return bindings;
    // One search serves them all; the listing waits for it, as a command does.
    IdentitySearch search;
    QList<FoundInstrument> found;
    QEventLoop searching;
    QObject::connect(
            &search, &IdentitySearch::finished, &searching, [&](const QList<FoundInstrument> &all) {
                found = all;
                searching.quit();
            });
    QTimer::singleShot(IdentitySearch::LongestSearchMs, &searching, &QEventLoop::quit);
    search.start();
    if (search.running())
        searching.exec();
    for (ComBinding &binding : bindings) {
        const LineAddress address = ParseLineAddress(binding.device);
        if (!address.kind->create)
            binding.matches = IdentitySearch::matching(address.identityPattern, found);
    }
    return bindings;
}

QString FormatPortList(
        const QList<SerialPortEntry> &ports, const std::array<ComBinding, 4> &bindings)
{
    QString out;
    if (ports.isEmpty())
        out += QStringLiteral("No serial ports found.\n");
    else
        out += QStringLiteral("Serial ports:\n");
    for (const SerialPortEntry &port : ports) {
        out += QStringLiteral("  %1\n").arg(EscapeOutsideText(port.device));
        if (!port.byId.isEmpty())
            out += QStringLiteral("      %1\n").arg(EscapeOutsideText(port.byId));
        QStringList about;
        for (const QString &part : {port.description, port.manufacturer})
            if (!part.isEmpty())
                about << part;
        if (!port.serialNumber.isEmpty())
            about << QStringLiteral("serial number %1").arg(port.serialNumber);
        if (port.vendorId && port.productId)
            about << QStringLiteral("USB %1:%2")
                             .arg(*port.vendorId, 4, 16, QLatin1Char('0'))
                             .arg(*port.productId, 4, 16, QLatin1Char('0'));
        // The descriptions are the adapter's own strings: whatever it says stays on its line.
        if (!about.isEmpty())
            out += QStringLiteral("      %1\n")
                           .arg(EscapeOutsideText(about.join(QStringLiteral(", "))));
    }
    out += QStringLiteral("\nCOM ports:\n");
    for (int n = 1; n <= int(bindings.size()); ++n) {
        const ComBinding &binding = bindings[n - 1];
        QString why;
        switch (binding.source) {
        case ComPortSource::Option:
            why = QStringLiteral("from --com%1").arg(n);
            break;
        case ComPortSource::Environment:
            why = QStringLiteral("from %1").arg(ComPortVariable(n));
            break;
        case ComPortSource::Default:
            why = QStringLiteral("default; set %1 or --com%2 to change")
                          .arg(ComPortVariable(n))
                          .arg(n);
            break;
        }
        // A network binding says what the line can do from here: raw TCP cannot set the baud.
        const TransportKind &kind = *ParseLineAddress(binding.device).kind;
        if (!kind.description.isEmpty())
            why += QStringLiteral("; ") + kind.description;
        out += QStringLiteral("  COM %1  %2  (%3)\n")
                       .arg(n)
                       .arg(EscapeOutsideText(binding.device), why);
        if (kind.create)
            continue;
        if (binding.matches.size() == 1)
            out += QStringLiteral("      opens %1\n")
                           .arg(IdentitySearch::describe(binding.matches));
        else if (binding.matches.isEmpty())
            out += QStringLiteral("      opens nothing: no instrument answers with a text that "
                                  "matches\n");
        else
            out += QStringLiteral("      opens nothing: several answer with a text that matches: "
                                  "%1\n")
                           .arg(IdentitySearch::describe(binding.matches));
    }
    return out;
}
