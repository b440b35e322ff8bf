#pragma once

#include "framing.h"

#include <QByteArray>

#include <optional>

// What a reply says, worked out once from the bytes the line brought and the framing it was
// asked in. The results box, a script's patterns and number checks, the CSV file, the loop
// chart and the scan all take it from here, so none of them can read a reply another way.
struct ReplyReading
{
    // The reply up to its first CR and its first LF: what the results box shows of a reply
    // that is not judged as a packet.
    QByteArray line;
    // What the instrument said, without the line's own framing: the payload of an ACK or NAK
    // packet in the Packet framing; otherwise `line` without the interface's ready prompt at its
    // end and without the blanks around it.
    QByteArray text;
    // The packet's verdict in the Packet framing; Kind::None otherwise, and for a reply that
    // is not a packet.
    ReplyPacket packet;
    // The bus address a packet names after its ACK or NAK (0 to 15), when it names one.
    std::optional<int> address;
    // `text` as one number. None for a refused packet (NAK) or one whose ETX or checksum is
    // missing or wrong: a value that cannot be trusted is not plotted, written or passed.
    std::optional<double> number;
    // An ACK packet with its ETX and a checksum that adds up; false in the other framings.
    bool packetVerified() const
    {
        return packet.kind == ReplyPacket::Kind::Ack && packet.checksumOk;
    }
    // What the reply says can be taken as the instrument's answer: any reply in the Off and
    // Addr framings, a verified ACK packet in the Packet framing.
    bool trusted(Framing::Protocol protocol) const
    {
        return protocol != Framing::Protocol::Packet || packetVerified();
    }
};

ReplyReading ReadReply(const QByteArray &received, Framing::Protocol protocol);
