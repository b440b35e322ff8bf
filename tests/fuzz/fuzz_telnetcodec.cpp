// The Telnet decoder on any stream, cut anywhere: the same data and commands whatever the cuts,
// no subnegotiation kept past its bound, and escaped data given back as it was.

#include "line/transport/telnetcodec.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    TelnetCodec whole, cut, back;
    QByteArray wholeData, cutData, again;
    QList<TelnetCodec::Command> wholeCommands, cutCommands, none;
    whole.decode(stream, wholeData, wholeCommands);
    const qsizetype step = data[0] + 1;
    for (qsizetype at = 0; at < stream.size(); at += step)
        cut.decode(stream.mid(at, step), cutData, cutCommands);
    if (cutData != wholeData || cutCommands != wholeCommands || wholeData.size() > stream.size())
        std::abort();
    for (const TelnetCodec::Command &command : wholeCommands)
        if (command.payload.size() > TelnetCodec::MaxSubnegotiationBytes)
            std::abort();
    back.decode(TelnetCodec::escape(stream), again, none);
    if (again != stream || !none.isEmpty())
        std::abort();
    return 0;
}
