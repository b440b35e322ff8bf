// Read's formatting of any received bytes under any options: total, nothing lost or altered
// beyond the documented cutting and marking, and the count line always true.

#include "protocol/replyformat.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    ReplyDisplayOptions options;
    options.displayAll = data[0] & 1;
    options.packetMode = data[0] & 2;
    options.lastWasQuery = data[0] & 4;
    options.showCount = data[0] & 8;
    const QByteArray received(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    const ReplyDisplay display = FormatReply(received, options);

    if (received.isEmpty()) {
        if (display.results != "Rx buffer empty" || display.beeps != 0)
            std::abort();
        return 0;
    }
    QByteArray body = display.results;
    if (options.showCount) {
        const QByteArray countLine = "\r\nCount =  " + QByteArray::number(received.size());
        if (!body.endsWith(countLine))
            std::abort();
        body.chop(countLine.size());
    }
    if (options.displayAll) {
        if (body.size() != received.size() + 3 * (received.count('\r') + received.count('\n'))
                || body.contains('\r') || body.contains('\n') || display.beeps != 0)
            std::abort();
    } else if (options.packetMode) {
        if (display.beeps > 1)
            std::abort();
    } else {
        if (!received.startsWith(body) || body.contains('\r') || body.contains('\n'))
            std::abort();
        if (body.size() < received.size() && received[body.size()] != '\r'
                && received[body.size()] != '\n')
            std::abort();
    }
    return 0;
}
