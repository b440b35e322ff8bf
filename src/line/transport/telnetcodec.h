#pragma once

#include <QByteArray>
#include <QList>

#include <initializer_list>

// The Telnet framing that RFC 2217 servers speak: data with every 0xFF byte doubled, and
// commands introduced by that byte (IAC). Pure byte work, so every split of a stream can be
// checked without a server.
class TelnetCodec
{
public:
    enum : quint8 {
        SE = 240,
        SB = 250,
        WILL = 251,
        WONT = 252,
        DO = 253,
        DONT = 254,
        IAC = 255,
    };
    enum : quint8 { OptionBinary = 0, OptionSuppressGoAhead = 3, OptionComPort = 44 };

    // The longest subnegotiation kept. COM-PORT-OPTION's longest value is a baud rate of four
    // bytes; a server's signature text is the longest thing any server sends in one.
    static constexpr qsizetype MaxSubnegotiationBytes = 256;

    struct Command
    {
        quint8 verb = 0; // WILL, WONT, DO, DONT or SB
        quint8 option = 0;
        QByteArray payload; // for SB: what came between the option and IAC SE, unescaped
        // SB only: longer than MaxSubnegotiationBytes, or broken off by another command. Its
        // bytes up to the next IAC SE are dropped, never taken for line data; payload is empty.
        bool dropped = false;
        bool operator==(const Command &) const = default;
    };

    // Splits bytes from the server into line data (appended to `data`) and commands. A command
    // or a doubled 0xFF cut between two calls is completed by the next one. Whatever the server
    // sends, what is held between calls stays within MaxSubnegotiationBytes.
    void decode(const QByteArray &raw, QByteArray &data, QList<Command> &commands);

    // Line data as it goes to the server: every 0xFF doubled.
    static QByteArray escape(const QByteArray &data);
    static QByteArray negotiation(quint8 verb, quint8 option);
    static QByteArray subnegotiation(quint8 option, const QByteArray &payload);
    static QByteArray bytes(std::initializer_list<quint8> codes);

private:
    enum class State { Data, Iac, Option, SbOption, SbData, SbIac, SbSkip, SbSkipIac };
    // Reports the subnegotiation under way as dropped and skips the rest of it.
    void dropSubnegotiation(QList<Command> &commands);

    State m_state = State::Data;
    Command m_command;
};
