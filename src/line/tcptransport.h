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
    // How long a raw connection has to stay up before it counts as open: enough for a server
    // across a local network to refuse us.
    static constexpr int RawSettleMs = 200;

    TcpTransport(int comPort, const LineAddress &address, QObject *parent = nullptr);
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
    virtual QByteArray unreadData();
    // What is left of the open's time.
    int openTimeLeftMs() const;

    QTcpSocket m_socket;
    SerialSettings m_settings;
    QString m_settingsText;

private:
    void handleSocketError(QAbstractSocket::SocketError error);
    void handleDisconnect();
    void giveUpOpening();

    // The start of what the server sent while the line was opening: the socket forgets it
    // when the server closes, and it may say why.
    QByteArray m_openingWords;
    QTimer m_openTimer;
    QElapsedTimer m_openClock;
};
