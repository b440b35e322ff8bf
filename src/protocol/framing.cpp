#include "framing.h"

bool FitsOnLine(const QString &text)
{
    for (QChar c : text)
        if (c.unicode() > 0xFF)
            return false;
    return true;
}

int XorChecksum(const QByteArray &text)
{
    unsigned char sum = 0;
    for (char c : text)
        sum ^= static_cast<unsigned char>(c);
    return sum;
}

QByteArray FrameMessage(const QByteArray &command, bool addrMode, bool packetMode,
        const QByteArray &devAddr, bool addCR, bool addLF)
{
    QByteArray frame = command;
    if (packetMode) {
        frame.prepend(devAddr);
        frame.prepend(Wire::STX);
        frame.append(Wire::ETX);
        frame.append(static_cast<char>(XorChecksum(frame)));
        return frame;
    }
    if (addCR)
        frame.append(Wire::CR);
    if (addLF)
        frame.append(Wire::LF);
    if (addrMode) {
        frame.prepend(devAddr);
        frame.prepend(Wire::STX);
    }
    return frame;
}

QByteArray FrameControlChar(char code, bool addrMode, const QByteArray &devAddr)
{
    if (!addrMode)
        return QByteArray(1, code);
    return QByteArray(1, Wire::STX) + devAddr + code;
}

QByteArray Framing::frame(const QByteArray &command) const
{
    return FrameMessage(command, protocol == Protocol::Addr, protocol == Protocol::Packet, address,
            addCR, addLF);
}

QByteArray Framing::controlFrame(char code) const
{
    return FrameControlChar(code, protocol == Protocol::Addr, address);
}

char Framing::terminator() const
{
    if (addLF)
        return Wire::LF;
    if (addCR)
        return Wire::CR;
    return 0;
}

bool Framing::isQuery(const QByteArray &frame)
{
    return frame.contains(Wire::QueryMark);
}

Framing::Protocol Framing::protocolOf(const QByteArray &frame)
{
    if (!frame.startsWith(Wire::STX))
        return Protocol::Off;
    return frame.indexOf(Wire::ETX, 2) >= 0 ? Protocol::Packet : Protocol::Addr;
}

bool Framing::readFollows(const QByteArray &frame, bool autoQuery, bool readRequired) const
{
    return (isQuery(frame) && autoQuery) || readRequired || protocol == Protocol::Packet;
}

ReplyPacket CheckReplyPacket(const QByteArray &received)
{
    ReplyPacket result;
    if (received.isEmpty())
        return result;
    if (received.front() == Wire::ACK)
        result.kind = ReplyPacket::Kind::Ack;
    else if (received.front() == Wire::NAK)
        result.kind = ReplyPacket::Kind::Nak;
    else
        return result;

    const qsizetype etxIndex = received.indexOf(Wire::ETX);
    if (etxIndex < 0) {
        // No ETX: the payload runs from after the two header characters to the end of the
        // line, so the device's CR LF and its '>' prompt are not taken for payload.
        result.payload = received.mid(2);
        for (const char lineEnd : {Wire::CR, Wire::LF}) {
            if (const qsizetype at = result.payload.indexOf(lineEnd); at >= 0)
                result.payload.truncate(at);
        }
        return result;
    }
    result.etxPos = etxIndex + 1;
    result.checksum = XorChecksum(received.left(result.etxPos));
    result.checksumPresent = etxIndex + 1 < received.size();
    result.checksumOk = result.checksumPresent
            && static_cast<unsigned char>(received.at(etxIndex + 1)) == result.checksum;
    // An ETX inside the two header characters leaves no room for a payload.
    if (etxIndex >= 2)
        result.payload = received.mid(2, etxIndex - 2);
    return result;
}

const FramingWords &WordsFor(Framing::Protocol protocol)
{
    for (const FramingWords &words : kFramingWords)
        if (words.protocol == protocol)
            return words;
    return kFramingWords[0];
}
