#include "share/sharesettings.h"

#include "protocol/numericvalue.h"

#include <QRegularExpression>

#include <algorithm>
#include <iterator>

QString ServedDevice::nameFor(const Framing &framing)
{
    if (framing.protocol == Framing::Protocol::Off)
        return QStringLiteral("inst0");
    const int address = framing.address.isEmpty() ? 0 : framing.address.at(0) - '0';
    return QStringLiteral("gpib0,%1").arg(address);
}

std::optional<ServedDevice> ServedDevice::parse(const QString &text, QString *error)
{
    static const QRegularExpression form(
            QStringLiteral("^(%1|%2|%3)(?::(\\d{1,2}))?$")
                    .arg(QLatin1StringView(kFramingWords[0].deviceWord),
                            QLatin1StringView(kFramingWords[1].deviceWord),
                            QLatin1StringView(kFramingWords[2].deviceWord)));
    const QRegularExpressionMatch match = form.match(text.trimmed().toLower());
    const auto named = std::find_if(
            std::cbegin(kFramingWords), std::cend(kFramingWords), [&](const FramingWords &words) {
                return match.captured(1) == QLatin1StringView(words.deviceWord);
            });
    const bool plain = match.hasMatch() && named->protocol == Framing::Protocol::Off;
    bool numbered = false;
    const int address = match.captured(2).toInt(&numbered);
    if (!match.hasMatch() || plain == numbered || address < Wire::MinAddress
            || address > Wire::MaxAddress) {
        if (error)
            *error = QStringLiteral("'%1' is no device: write %2, %3:N or %4:N, with N from %5 "
                                    "to %6")
                             .arg(text, QLatin1StringView(kFramingWords[0].deviceWord),
                                     QLatin1StringView(kFramingWords[1].deviceWord),
                                     QLatin1StringView(kFramingWords[2].deviceWord))
                             .arg(Wire::MinAddress)
                             .arg(Wire::MaxAddress);
        return std::nullopt;
    }
    ServedDevice device;
    if (!plain) {
        device.framing.framing.protocol = named->protocol;
        device.framing.framing.address = AddressCharacters(address);
    }
    device.name = nameFor(device.framing.framing);
    return device;
}

std::optional<QPair<QHostAddress, int>> ShareSettings::parseNetwork(
        const QString &text, QString *error)
{
    QPair<QHostAddress, int> network = QHostAddress::parseSubnet(text.trimmed());
    if (network.first.isNull()) {
        const QHostAddress single(text.trimmed());
        if (!single.isNull())
            network = {single, single.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32};
    }
    if (network.first.isNull()) {
        if (error)
            *error = QStringLiteral("'%1' is no network: write an address with its prefix "
                                    "length, such as 192.168.1.0/24")
                             .arg(text);
        return std::nullopt;
    }
    return network;
}
