#pragma once

#include "tcptransport.h"
#include "telnetcodec.h"

#include <optional>

// rfc2217://HOST:PORT: a Telnet connection to a serial server that also takes the line
// settings (RFC 2217, COM-PORT-OPTION). The settings are sent once the server agrees to the
// option; the line counts as open when the server has confirmed all four, or has refused the
// option, or has kept quiet for NegotiationTimeoutMs. In the last two cases the operator is
// told once that the settings are not confirmed.
class Rfc2217Transport : public TcpTransport
{
    Q_OBJECT

public:
    // Long enough for a server across a slow link, short enough that a server without the
    // option does not keep Initialize waiting long.
    static constexpr int NegotiationTimeoutMs = 1000;

    Rfc2217Transport(int comPort, const LineAddress &address, QObject *parent = nullptr);

    void startOpen(const SerialSettings &settings) override;
    void close() override;
    qint64 bytesAvailable() const override;
    void setRequestToSend(bool on) override;
    void setDataTerminalReady(bool on) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;
    void connectionMade() override;
    void socketReadable() override;
    QByteArray unreadData() override;

private:
    void handleCommand(const TelnetCodec::Command &command);
    void handleServerReply(const QByteArray &payload);
    void sendLineSettings();
    void sendControl(quint8 value);
    void settleSettings();
    void negotiationTimedOut();

    TelnetCodec m_telnet;
    QByteArray m_inbox; // line data taken out of the Telnet stream, not read yet
    QTimer m_negotiationTimer;
    bool m_comPortAgreed = false;
    std::optional<qint32> m_confirmedBaud;
    std::optional<int> m_confirmedDataBits;
    std::optional<int> m_confirmedParity;
    std::optional<int> m_confirmedStopBits;
};
