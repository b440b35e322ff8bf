#pragma once

#include "line/transport/tcptransport.h"
#include "line/transport/telnetcodec.h"

#include <bitset>
#include <optional>

// rfc2217://HOST:PORT: a Telnet connection to a serial server that also takes the line
// settings (RFC 2217, COM-PORT-OPTION). The settings are sent once the server agrees to the
// option; the line counts as open when the server has confirmed all four, or has refused the
// option, or has kept quiet for NegotiationTimeoutMs. In the last two cases the operator is
// told once that the settings are not confirmed. Settings applied to the open line go out on
// the same connection, and what is written meanwhile goes once they are confirmed the same way.
//
// Everything the server sends is held within fixed bounds: the socket's buffer, the decoded
// data not read yet, one subnegotiation, and our answers to its requests.
class Rfc2217Transport : public TcpTransport
{
    Q_OBJECT

public:
    // Long enough for a server across a slow link, short enough that a server without the
    // option does not keep Initialize waiting long.
    static constexpr int NegotiationTimeoutMs = 1000;
    // Decoded line data not read yet; past this the rest waits, undecoded, in the socket.
    static constexpr qsizetype InboxLimitBytes = qsizetype(64) * 1024;
    // While this much of ours waits to be sent, answers to the server's requests are dropped:
    // a server that does not read cannot make them pile up.
    static constexpr qint64 AnswerBacklogBytes = 4096;

    Rfc2217Transport(int comPort, const LineAddress &address, QObject *parent = nullptr);

    void startOpen(const SerialSettings &settings) override;
    void close() override;
    qint64 bytesAvailable() const override;
    void setRequestToSend(bool on) override;
    void setDataTerminalReady(bool on) override;
    bool applySettings(const SerialSettings &settings) override;
    // The server takes the settings whatever it answers to them: the rate is ours to set.
    bool canSetRate() const override { return true; }
    bool settingsPending() const override { return m_settling && isOpen(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;
    void connectionMade() override;
    void socketReadable() override;
    QByteArray unreadData() override;

private:
    // Decodes what the socket holds, as far as the inbox has room.
    void decodeSocket();
    void handleCommand(const TelnetCodec::Command &command);
    void answer(quint8 verb, quint8 option);
    void handleServerReply(const QByteArray &payload);
    void sendLineSettings();
    void sendControl(quint8 value);
    void startSettling();
    // The settings asked for are no longer awaited: the line opens, or the pending write
    // goes ahead. `notice` (empty when all is well) is said once.
    void endSettling(const QString &notice);
    void negotiationTimedOut();
    // Writes to the server while the connection lasts; false once it is gone or short.
    bool writeToServer(const QByteArray &bytes);

    TelnetCodec m_telnet;
    QByteArray m_inbox; // line data taken out of the Telnet stream, not read yet
    QTimer m_negotiationTimer;
    bool m_comPortAgreed = false;
    bool m_comPortRefused = false;
    bool m_settling = false; // settings asked for on the open line, not settled yet
    // What was written while settings were pending, sent once they are settled. Our own bytes:
    // a frame or two, and for at most NegotiationTimeoutMs.
    QByteArray m_heldWrites;
    bool m_malformedReported = false;
    // Options of the server's we have refused; answered again only once it has changed them.
    std::bitset<256> m_refusedWill;
    std::bitset<256> m_refusedDo;
    std::optional<qint32> m_confirmedBaud;
    std::optional<QSerialPort::DataBits> m_confirmedDataBits;
    std::optional<QSerialPort::Parity> m_confirmedParity;
    std::optional<QSerialPort::StopBits> m_confirmedStopBits;
};
