#include "statusbits.h"

#include "framing.h"
#include "replyreading.h"

#include <QStringList>

#include <array>
#include <bit>
#include <cmath>

namespace {

const std::array<const char *, 8> kEventStatusBits = {"operation complete (OPC)",
        "request control (RQC)", "query error (QYE)", "device-dependent error (DDE)",
        "execution error (EXE)", "command error (CME)", "user request (URQ)", "power on (PON)"};
// Bits 0-3 and 7 of the status byte belong to the device; 488.2 names only these three.
const std::array<const char *, 8> kStatusByteBits = {"device-specific", "device-specific",
        "device-specific", "device-specific", "message available (MAV)", "event status bit (ESB)",
        "request service (RQS/MSS)", "device-specific"};

} // namespace

StatusRegister StatusQueryIn(const QByteArray &frame)
{
    const QByteArray upper = frame.toUpper();
    if (upper.contains("*ESR?"))
        return StatusRegister::EventStatus;
    if (upper.contains("*STB?"))
        return StatusRegister::StatusByte;
    return StatusRegister::None;
}

std::optional<int> StatusReplyValue(const QByteArray &received, Framing::Protocol protocol)
{
    if (!received.contains(Wire::LF) && !received.contains(Wire::CR))
        return std::nullopt;
    const std::optional<double> number = ReadReply(received, protocol).number;
    if (!number || *number < 0 || *number > 255 || std::floor(*number) != *number)
        return std::nullopt;
    return int(*number);
}

QString DescribeStatusBits(StatusRegister reg, int value)
{
    if (reg == StatusRegister::None)
        return {};
    const auto &names = reg == StatusRegister::EventStatus ? kEventStatusBits : kStatusByteBits;
    QStringList parts;
    for (int bit = 0; bit < 8; ++bit) {
        if (value & (1 << bit))
            parts << QStringLiteral("%1 %2").arg(1 << bit).arg(QLatin1String(names[bit]));
    }
    if (parts.isEmpty())
        return QStringLiteral("%1 = no bit set").arg(value);
    if (parts.size() == 1)
        return QStringLiteral("%1 = %2").arg(value).arg(
                QLatin1String(names[std::countr_zero(unsigned(value))]));
    return QStringLiteral("%1 = %2").arg(value).arg(parts.join(QStringLiteral(" + ")));
}
