#include "line/serialsettings.h"

#include <QStringList>

std::optional<SerialSettings> SerialSettings::parse(const QString &text)
{
    const QStringList fields = text.split(u',');
    if (fields.size() != 4)
        return std::nullopt;

    SerialSettings settings;
    bool ok = false;
    settings.baudRate = fields[0].trimmed().toInt(&ok);
    if (!ok || settings.baudRate <= 0)
        return std::nullopt;

    const QString parity = fields[1].trimmed().toUpper();
    if (parity == u"N")
        settings.parity = QSerialPort::NoParity;
    else if (parity == u"E")
        settings.parity = QSerialPort::EvenParity;
    else if (parity == u"O")
        settings.parity = QSerialPort::OddParity;
    else if (parity == u"M")
        settings.parity = QSerialPort::MarkParity;
    else if (parity == u"S")
        settings.parity = QSerialPort::SpaceParity;
    else
        return std::nullopt;

    const int dataBits = fields[2].trimmed().toInt(&ok);
    if (!ok || dataBits < 5 || dataBits > 8)
        return std::nullopt;
    settings.dataBits = static_cast<QSerialPort::DataBits>(dataBits);

    const QString stop = fields[3].trimmed();
    if (stop == u"1")
        settings.stopBits = QSerialPort::OneStop;
    else if (stop == u"1.5")
        settings.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == u"2")
        settings.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return settings;
}

QString SerialSettings::text() const
{
    QChar parityLetter = u'N';
    switch (parity) {
    case QSerialPort::EvenParity:
        parityLetter = u'E';
        break;
    case QSerialPort::OddParity:
        parityLetter = u'O';
        break;
    case QSerialPort::MarkParity:
        parityLetter = u'M';
        break;
    case QSerialPort::SpaceParity:
        parityLetter = u'S';
        break;
    default:
        break;
    }
    const QString stop = stopBits == QSerialPort::OneAndHalfStop ? QStringLiteral("1.5")
            : stopBits == QSerialPort::TwoStop                   ? QStringLiteral("2")
                                                                 : QStringLiteral("1");
    return QStringLiteral("%1,%2,%3,%4")
            .arg(baudRate)
            .arg(parityLetter)
            .arg(int(dataBits))
            .arg(stop);
}
