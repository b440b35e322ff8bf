#include "line/transport/telnetcodec.h"

void TelnetCodec::decode(const QByteArray &raw, QByteArray &data, QList<Command> &commands)
{
    data.reserve(data.size() + raw.size());
    for (const char c : raw) {
        const auto byte = quint8(c);
        switch (m_state) {
        case State::Data:
            if (byte == IAC)
                m_state = State::Iac;
            else
                data += c;
            break;
        case State::Iac:
            if (byte == IAC) {
                data += c;
                m_state = State::Data;
            } else if (byte >= WILL) {
                m_command = Command{byte, 0, {}};
                m_state = State::Option;
            } else if (byte == SB) {
                m_command = Command{SB, 0, {}};
                m_state = State::SbOption;
            } else {
                // NOP, go-ahead, data mark and the like: nothing for a serial line.
                m_state = State::Data;
            }
            break;
        case State::Option:
            m_command.option = byte;
            commands.append(m_command);
            m_state = State::Data;
            break;
        case State::SbOption:
            m_command.option = byte;
            m_state = State::SbData;
            break;
        case State::SbData:
            if (byte == IAC)
                m_state = State::SbIac;
            else if (m_command.payload.size() < MaxSubnegotiationBytes)
                m_command.payload += c;
            else
                dropSubnegotiation(commands);
            break;
        case State::SbIac:
            if (byte == SE) {
                commands.append(m_command);
                m_state = State::Data;
            } else if (byte == IAC && m_command.payload.size() < MaxSubnegotiationBytes) {
                m_command.payload += c;
                m_state = State::SbData;
            } else {
                // Too long, or another command inside it: the framing is broken, and what
                // follows up to IAC SE is the rest of it, not line data.
                dropSubnegotiation(commands);
            }
            break;
        case State::SbSkip:
            if (byte == IAC)
                m_state = State::SbSkipIac;
            break;
        case State::SbSkipIac:
            m_state = byte == SE ? State::Data : State::SbSkip;
            break;
        }
    }
}

void TelnetCodec::dropSubnegotiation(QList<Command> &commands)
{
    commands.append(Command{SB, m_command.option, {}, true});
    m_command = Command{};
    m_state = State::SbSkip;
}

QByteArray TelnetCodec::escape(const QByteArray &data)
{
    if (!data.contains(char(IAC)))
        return data;
    QByteArray out;
    out.reserve(data.size() + 8);
    for (const char c : data) {
        out += c;
        if (quint8(c) == IAC)
            out += c;
    }
    return out;
}

QByteArray TelnetCodec::bytes(std::initializer_list<quint8> codes)
{
    QByteArray out;
    out.reserve(qsizetype(codes.size()));
    for (const quint8 code : codes)
        out += char(code);
    return out;
}

QByteArray TelnetCodec::negotiation(quint8 verb, quint8 option)
{
    return bytes({IAC, verb, option});
}

QByteArray TelnetCodec::subnegotiation(quint8 option, const QByteArray &payload)
{
    return bytes({IAC, SB, option}) + escape(payload) + bytes({IAC, SE});
}
