#pragma once

#include "line/transport/linetransport.h"

#include <QSerialPort>

// A local serial device: a tty, a USB adapter or a pseudo-terminal.
class SerialTransport : public LineTransport
{
    Q_OBJECT

public:
    SerialTransport(int comPort, const LineAddress &address, QObject *parent = nullptr);
    ~SerialTransport() override;

    // Every serial device the system has now.
    static QList<SerialPortEntry> availablePorts();

    void startOpen(const SerialSettings &settings) override;
    void close() override;
    qint64 bytesAvailable() const override;
    void setRequestToSend(bool on) override;
    void setDataTerminalReady(bool on) override;
    void startTransfer() override;
    bool applySettings(const SerialSettings &settings) override;
    bool takeWaiting(std::chrono::microseconds wait) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    void handlePortError(QSerialPort::SerialPortError error);

    // Reads what the line holds straight into m_taken; false when the port should read it.
    bool takeDirectly();

    QSerialPort m_port;
    bool m_lineFull = false;
    // Read from the line by takeWaiting() while the port's own buffer was empty: older than
    // anything the port reads later, so handed out first.
    QByteArray m_taken;
};
