#include "share/rpc/rpcmessage.h"

#include "share/rpc/xdrreader.h"
#include "share/rpc/xdrwriter.h"

#include <QtEndian>

namespace Rpc {

namespace {
constexpr quint32 kCall = 0;
constexpr quint32 kReply = 1;
constexpr quint32 kAccepted = 0;
constexpr quint32 kDenied = 1;
constexpr quint32 kRpcMismatch = 0;
constexpr quint32 kAuthError = 1;
constexpr quint32 kAuthBadCredentials = 1;
constexpr quint32 kAuthNone = 0;
// xid, reply, accepted, an empty verifier and the status.
constexpr qsizetype kReplyHeaderBytes = qsizetype(6) * 4;
} // namespace

std::variant<Call, Refusal> ReadCall(const QByteArray &record)
{
    XdrReader reader(record);
    Call call;
    quint32 type = 0;
    quint32 version = 0;
    if (!reader.u32(call.xid) || !reader.u32(type) || type != kCall)
        return Refusal{
                Refusal::Kind::Unreadable, call.xid, QStringLiteral("a record that is no call")};
    if (!reader.u32(version))
        return Refusal{Refusal::Kind::Unreadable, call.xid, QStringLiteral("a call cut short")};
    if (version != Version)
        return Refusal{Refusal::Kind::RpcMismatch, call.xid,
                QStringLiteral("a call in RPC version %1").arg(version)};
    quint32 flavor = 0;
    if (!reader.u32(call.program) || !reader.u32(call.version) || !reader.u32(call.procedure))
        return Refusal{Refusal::Kind::Unreadable, call.xid, QStringLiteral("a call cut short")};
    // Credentials and verifier: read past, whatever their flavor; the line is not given away by
    // them, and the address the call came from is what is checked.
    for (int item = 0; item < 2; ++item) {
        if (!reader.u32(flavor))
            return Refusal{Refusal::Kind::Unreadable, call.xid, QStringLiteral("a call cut short")};
        if (!reader.skipOpaque(MaxAuthBytes))
            return Refusal{Refusal::Kind::BadCredentials, call.xid,
                    QStringLiteral("a call whose credentials cannot be read")};
    }
    call.arguments = reader.rest();
    return call;
}

QByteArray AcceptedReply(quint32 xid, AcceptStat status, const QByteArray &results,
        quint32 lowVersion, quint32 highVersion)
{
    XdrWriter writer(kReplyHeaderBytes + 8 + results.size());
    writer.u32(xid).u32(kReply).u32(kAccepted).u32(kAuthNone).u32(0).u32(quint32(status));
    QByteArray reply = writer.bytes();
    if (status == AcceptStat::ProgramMismatch)
        reply += XdrWriter(8).u32(lowVersion).u32(highVersion).bytes();
    else if (status == AcceptStat::Success)
        reply += results;
    return reply;
}

QByteArray DeniedReply(const Refusal &refusal)
{
    XdrWriter writer(qsizetype(6) * 4);
    writer.u32(refusal.xid).u32(kReply).u32(kDenied);
    if (refusal.kind == Refusal::Kind::RpcMismatch)
        writer.u32(kRpcMismatch).u32(Version).u32(Version);
    else
        writer.u32(kAuthError).u32(kAuthBadCredentials);
    return writer.bytes();
}

QByteArray RecordMarked(const QByteArray &record)
{
    QByteArray marked(4, '\0');
    qToBigEndian<quint32>(0x80000000U | quint32(record.size()), marked.data());
    return marked + record;
}

} // namespace Rpc
