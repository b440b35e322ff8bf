#pragma once

#include <QSerialPort>
#include <QString>

#include <array>
#include <optional>

// Line parameters parsed from a settings text such as "9600,N,8,1".
struct SerialSettings
{
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    // The settings the port window offers, slowest first; a scan tries the same.
    static constexpr std::array<const char *, 7> Offered = {
            "2400,N,8,1",
            "4800,N,8,1",
            "9600,N,8,1",
            "19200,N,8,1",
            "38400,N,8,1",
            "57600,N,8,1",
            "115200,N,8,1",
    };

    static std::optional<SerialSettings> parse(const QString &text);
    // The same settings as a text, "9600,N,8,1".
    QString text() const;
};
