// Framing round trip: every frame carries the command unchanged, a packet's checksum verifies,
// and the same text wrapped as a reply packet passes the reply check with its payload intact.

#include "protocol/framing.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const bool addrMode = data[0] & 1, packetMode = data[0] & 2, cr = data[0] & 4, lf = data[0] & 8;
    const qsizetype addressLength = qMin<qsizetype>(data[1] % 4, qsizetype(size) - 2);
    const QByteArray address(reinterpret_cast<const char *>(data) + 2, addressLength);
    const QByteArray command(reinterpret_cast<const char *>(data) + 2 + addressLength,
            qsizetype(size) - 2 - addressLength);

    const QByteArray frame = FrameMessage(command, addrMode, packetMode, address, cr, lf);
    if (packetMode) {
        if (frame.size() != command.size() + address.size() + 3 || frame.front() != Wire::STX
                || frame.at(frame.size() - 2) != Wire::ETX || XorChecksum(frame) != 0
                || frame.mid(1 + address.size(), command.size()) != command)
            std::abort();
        if (!address.contains(Wire::ETX) && !command.contains(Wire::ETX)) {
            QByteArray reply = QByteArray(1, Wire::ACK) + 'x' + command + Wire::ETX;
            reply += char(XorChecksum(reply));
            const ReplyPacket packet = CheckReplyPacket(reply);
            if (!packet.checksumOk || packet.payload != command)
                std::abort();
        }
        return 0;
    }
    const QByteArray head = addrMode ? QByteArray(1, Wire::STX) + address : QByteArray();
    const QByteArray tail = QByteArray(cr ? "\r" : "") + QByteArray(lf ? "\n" : "");
    if (frame != head + command + tail)
        std::abort();
    const QByteArray control = FrameControlChar(Wire::CNTL_E, addrMode, address);
    if (control != head + Wire::CNTL_E)
        std::abort();
    return 0;
}
