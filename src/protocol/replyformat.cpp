#include "replyformat.h"

#include "framing.h"
#include "replyreading.h"

namespace {

QByteArray spellOutTerminators(QByteArray text)
{
    text.replace("\r", "<cr>");
    text.replace("\n", "<lf>");
    return text;
}

// A non-negative number as the results box has always shown it: with a blank where the sign goes.
QByteArray signedDecimal(qint64 n)
{
    return (n < 0 ? QByteArray() : QByteArray(" ")) + QByteArray::number(n);
}

} // namespace

ReplyDisplay FormatReply(const QByteArray &received, const ReplyDisplayOptions &options)
{
    ReplyDisplay display;
    if (received.isEmpty()) {
        display.results = "Rx buffer empty";
        return display;
    }

    QByteArray &out = display.results;
    if (options.displayAll) {
        out += spellOutTerminators(received);
    } else if (options.packetMode) {
        const ReplyPacket packet = ReadReply(received, Framing::Protocol::Packet).packet;
        if (packet.kind == ReplyPacket::Kind::None) {
            out += "Did not receive a ACK/NAK packet" + options.lineBreak;
            out += received;
        } else {
            const bool ack = packet.kind == ReplyPacket::Kind::Ack;
            out += (ack ? "ACK Packet received" : "NAK packet received") + options.lineBreak;
            if (packet.etxPos == 0) {
                out += "ETX char missing" + options.lineBreak;
                ++display.beeps;
            } else if (packet.checksumOk) {
                out += "Cksum verified, Cksum = " + signedDecimal(packet.checksum)
                        + options.lineBreak;
            } else if (!packet.checksumPresent) {
                out += "Cksum char missing" + options.lineBreak;
                ++display.beeps;
            } else {
                out += "Cksum fails" + options.lineBreak;
                ++display.beeps;
            }
            out += (ack && options.lastWasQuery ? "RespStr= " : "ESR value= ") + packet.payload;
        }
    } else {
        out += ReadReply(received, Framing::Protocol::Off).line;
    }

    if (options.showCount)
        out += options.lineBreak + "Count = " + signedDecimal(received.size());
    return display;
}
