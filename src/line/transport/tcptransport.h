#pragma once

#include "line/transport/linetransport.h"

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
    // The most the socket takes from the system before someone reads it. A server that sends
    // faster than the line is read is held back by TCP itself, in the system's fixed buffers.
    static constexpr qint64 SocketBufferBytes = qint64(64) * 1024;

    TcpTransport(int comPort, const LineAddress &address, QObject *parent = nullptr);
    ~TcpTransport() override;

    void startOpen(const SerialSettings &settings) override;
    void close() override;
    qint64 bytesAvailable() const override;
    void startTransfer() override;
    // Kept as they are: the server's own settings apply, which the operator is told.
    bool applySettings(const SerialSettings &settings) override;
    bool canSetRate() const override { return false; }
    bool takeWaiting(std::chrono::microseconds wait) override;

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
    // The start of the line data the server sent that nobody has read.
    virtual QByteArray unreadData();
    // The start of what the system holds for the connection and the socket has not read, left
    // there: a server that resets the connection leaves its parting words behind the error.
    QByteArray peekSystemBuffer() const;
    // Whether the server answered the connection this open made, however it ended.
    bool serverAnswered() const;
    // What is left of the open's time.
    int openTimeLeftMs() const;

    QTcpSocket m_socket;
    SerialSettings m_settings;
    QString m_settingsText;

private:
    void handleSocketError(QAbstractSocket::SocketError error);
    void handleDisconnect();
    void giveUpOpening();
    void holdOpeningDescriptor();
    void releaseOpeningDescriptor();

    // The start of what the server sent while the line was opening: the socket forgets it
    // when the server closes, and it may say why.
    QByteArray m_openingWords;
    // A second handle on the connection while the line opens: the socket closes its own as soon
    // as a write meets a reset, and the server's last words would go with it.
    int m_openingDescriptor = -1;
    QTimer m_openTimer;
    QElapsedTimer m_openClock;
};
