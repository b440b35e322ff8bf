#include "replyreading.h"

#include "replynumber.h"

namespace {

QByteArray cutAtLineEnds(const QByteArray &received)
{
    QByteArray line = received;
    for (const char lineEnd : {Wire::CR, Wire::LF})
        if (const qsizetype at = line.indexOf(lineEnd); at >= 0)
            line.truncate(at);
    return line;
}

} // namespace

ReplyReading ReadReply(const QByteArray &received, Framing::Protocol protocol)
{
    ReplyReading reading;
    reading.line = cutAtLineEnds(received);
    if (protocol == Framing::Protocol::Packet) {
        reading.packet = CheckReplyPacket(received);
        if (reading.packet.kind != ReplyPacket::Kind::None) {
            reading.text = reading.packet.payload;
            const int address = received.size() > 1 ? received.at(1) - '0' : -1;
            if (address >= Wire::MinAddress && address <= Wire::MaxAddress)
                reading.address = address;
            if (reading.packetVerified())
                reading.number = ReadInstrumentNumber(reading.text);
            return reading;
        }
    }
    QByteArrayView text = TrimmedBlanks(reading.line);
    if (!text.isEmpty() && text.back() == Wire::Prompt)
        text.chop(1);
    reading.text = TrimmedBlanks(text).toByteArray();
    // Asked as a packet, anything but a verified ACK is no answer to trust.
    if (protocol != Framing::Protocol::Packet)
        reading.number = ReadInstrumentNumber(reading.text);
    return reading;
}
