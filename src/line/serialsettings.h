#pragma once

#include <QSerialPort>
#include <QString>

#include <optional>

// Line parameters parsed from a settings text such as "9600,N,8,1".
struct SerialSettings
{
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    static std::optional<SerialSettings> parse(const QString &text);
    // The same settings as a text, "9600,N,8,1".
    QString text() const;
};
