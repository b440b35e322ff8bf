// The idle-input buffer against the plainest model of "keep the newest n bytes": a byte string
// cut from the front, with a running count of what was cut.

#include "line/port/tailbuffer.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // Small capacities, so that wrapping round the ring happens on nearly every input.
    const qsizetype capacity = data[0] % 37;
    TailBuffer buffer(capacity);
    QByteArray model;
    qint64 modelDropped = 0;
    size_t at = 1;
    while (at < size) {
        const uint8_t op = data[at++];
        const size_t length = op >> 3;
        switch (op & 7) {
        case 0:
        case 1:
        case 2: { // append a chunk, the most common thing that happens
            const size_t n = std::min(length, size - at);
            const QByteArray chunk(reinterpret_cast<const char *>(data + at), qsizetype(n));
            at += n;
            buffer.append(chunk);
            model += chunk;
            if (model.size() > capacity) {
                modelDropped += model.size() - capacity;
                model.remove(0, model.size() - capacity);
            }
            break;
        }
        case 3: { // a long chunk, several times the capacity
            const QByteArray chunk(qsizetype(length) * 5, char(op));
            buffer.append(chunk);
            model += chunk;
            if (model.size() > capacity) {
                modelDropped += model.size() - capacity;
                model.remove(0, model.size() - capacity);
            }
            break;
        }
        case 4: { // take some
            const QByteArray taken = buffer.take(qsizetype(length));
            const QByteArray expected = model.left(qsizetype(length));
            model.remove(0, expected.size());
            if (taken != expected)
                std::abort();
            break;
        }
        case 5: // take all
            if (buffer.take() != model)
                std::abort();
            model.clear();
            break;
        case 6:
            if (buffer.takeDropped() != modelDropped)
                std::abort();
            modelDropped = 0;
            break;
        case 7:
            buffer.clear();
            model.clear();
            modelDropped = 0;
            break;
        }
        if (buffer.size() != model.size())
            std::abort();
    }
    if (buffer.take() != model || buffer.takeDropped() != modelDropped)
        std::abort();
    return 0;
}
