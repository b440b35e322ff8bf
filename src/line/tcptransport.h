#pragma once

#include "linetransport.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

// socket://HOST:PORT: a raw TCP connection to a serial server, bytes unchanged both ways.
// Also the connection under rfc2217://, which adds the Telnet layer on top.
class TcpTransport : public LineTransport
{
    Q_OBJECT

public:
    TcpTransport(int comPort, const QString &binding, QObject *parent = nullptr);
    ~TcpTransport() override;

    void startOpen(const SerialSettings &settings) override;
    void close() override;
    qint64 bytesAvailable() const override;
    void startTransfer() override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

    // The connection is up; the line is ready once this calls becomeOpen().
    virtual void connectionMade();
    // Bytes from the server have arrived on the socket.
    virtual void socketReadable();
    void becomeOpen();
    // Settings every connection to a serial server wants, once it is made.
    void tuneSocket();
    // Line data the server sent that nobody has read.
    virtual QByteArray unreadData() { return m_socket.peek(m_socket.bytesAvailable()); }
    // What is left of the open's time.
    int openTimeLeftMs() const;

    QTcpSocket m_socket;
    SerialSettings m_settings;
    QString m_settingsText;

private:
    void handleSocketError(QAbstractSocket::SocketError error);
    void handleDisconnect();
    void giveUpOpening();

    QString m_host;
    quint16 m_port = 0;
    QTimer m_openTimer;
    QElapsedTimer m_openClock;
};
