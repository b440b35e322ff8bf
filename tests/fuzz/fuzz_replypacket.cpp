// The reply packet check on any bytes: total, in bounds, and consistent with its own verdict.

#include "protocol/framing.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply(reinterpret_cast<const char *>(data), qsizetype(size));
    const ReplyPacket packet = CheckReplyPacket(reply);
    if (packet.kind == ReplyPacket::Kind::None) {
        if (packet.etxPos != 0 || !packet.payload.isEmpty() || packet.checksumOk)
            std::abort();
        return 0;
    }
    if (packet.etxPos == 0) {
        // Without ETX the payload is the rest of the first line after the header.
        const QByteArray rest = reply.mid(2);
        const bool endsAtLine = packet.payload.size() == rest.size()
                || rest.at(packet.payload.size()) == Wire::CR
                || rest.at(packet.payload.size()) == Wire::LF;
        if (reply.contains(Wire::ETX) || packet.checksumOk || !rest.startsWith(packet.payload)
                || packet.payload.contains(Wire::CR) || packet.payload.contains(Wire::LF)
                || !endsAtLine)
            std::abort();
        return 0;
    }
    if (reply.indexOf(Wire::ETX) != packet.etxPos - 1)
        std::abort();
    if (packet.checksum != XorChecksum(reply.left(packet.etxPos)))
        std::abort();
    if (packet.checksumPresent != (packet.etxPos < reply.size()))
        std::abort();
    if (packet.checksumOk
            && (!packet.checksumPresent || quint8(reply.at(packet.etxPos)) != packet.checksum))
        std::abort();
    if (packet.payload.contains(Wire::ETX) || packet.payload.size() > reply.size())
        std::abort();
    return 0;
}
