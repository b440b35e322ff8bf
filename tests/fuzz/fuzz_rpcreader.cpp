// The reader of RPC calls a network client sends: record marks, the call header, the VXI-11
// arguments, fed in pieces of any size. Whatever comes, nothing is kept past the bound, and
// every record is either a call or a refusal.
#include "share/rpc/rpcmessage.h"
#include "share/rpc/rpcrecordreader.h"
#include "share/vxi11/vxi11protocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
constexpr qsizetype kBound = 4096;

void readArguments(const Rpc::Call &call)
{
    const QByteArray &xdr = call.arguments;
    // Each decoder on every call, whatever its procedure says: a client may lie about it.
    if (const auto link = Vxi11::ReadCreateLink(xdr); link && link->device.size() > 64)
        std::abort();
    if (const auto write = Vxi11::ReadWrite(xdr, 1024); write && write->data.size() > 1024)
        std::abort();
    (void)Vxi11::ReadRead(xdr);
    (void)Vxi11::ReadGeneric(xdr);
    (void)Vxi11::ReadLock(xdr);
    (void)Vxi11::ReadLink(xdr);
    (void)Rpc::AcceptedReply(call.xid, Rpc::AcceptStat::Success,
            Vxi11::ReadResult(Vxi11::Error::None, Vxi11::EndReason, xdr.left(300)));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte sets how the stream is cut into reads.
    const qsizetype piece = 1 + data[0] % 64;
    RpcRecordReader reader(kBound);
    const char *bytes = reinterpret_cast<const char *>(data) + 1;
    qsizetype left = qsizetype(size) - 1;
    while (left > 0 && !reader.refusal()) {
        const qsizetype taken = reader.take(bytes, std::min(left, piece));
        bytes += taken;
        left -= taken;
        if (reader.recordReady()) {
            const QByteArray record = reader.takeRecord();
            if (record.size() > kBound)
                std::abort();
            const auto call = Rpc::ReadCall(record);
            if (const auto *read = std::get_if<Rpc::Call>(&call))
                readArguments(*read);
            else
                (void)Rpc::DeniedReply(std::get<Rpc::Refusal>(call));
        } else if (taken == 0) {
            std::abort(); // took nothing, yet wants more and has no record
        }
    }
    return 0;
}
