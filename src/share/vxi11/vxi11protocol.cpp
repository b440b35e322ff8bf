#include "share/vxi11/vxi11protocol.h"

#include "share/rpc/xdrreader.h"
#include "share/rpc/xdrwriter.h"

namespace Vxi11 {

namespace {
template<typename Args>
std::optional<Args> whole(const XdrReader &reader, const Args &args)
{
    return reader.ok() ? std::optional<Args>(args) : std::nullopt;
}
} // namespace

std::optional<CreateLinkArgs> ReadCreateLink(const QByteArray &xdr)
{
    XdrReader reader(xdr);
    CreateLinkArgs args;
    reader.i32(args.clientId);
    reader.boolean(args.lockDevice);
    reader.u32(args.lockTimeout);
    reader.opaque(args.device, MaxDeviceName);
    return whole(reader, args);
}

std::optional<WriteArgs> ReadWrite(const QByteArray &xdr, quint32 maxData)
{
    XdrReader reader(xdr);
    WriteArgs args;
    reader.i32(args.link);
    reader.u32(args.ioTimeout);
    reader.u32(args.lockTimeout);
    reader.i32(args.flags);
    reader.opaque(args.data, maxData);
    return whole(reader, args);
}

std::optional<ReadArgs> ReadRead(const QByteArray &xdr)
{
    XdrReader reader(xdr);
    ReadArgs args;
    qint32 termChar = 0;
    reader.i32(args.link);
    reader.u32(args.requestSize);
    reader.u32(args.ioTimeout);
    reader.u32(args.lockTimeout);
    reader.i32(args.flags);
    reader.i32(termChar); // a char travels as a whole XDR integer
    args.termChar = char(termChar);
    return whole(reader, args);
}

std::optional<GenericArgs> ReadGeneric(const QByteArray &xdr)
{
    XdrReader reader(xdr);
    GenericArgs args;
    reader.i32(args.link);
    reader.i32(args.flags);
    reader.u32(args.lockTimeout);
    reader.u32(args.ioTimeout);
    return whole(reader, args);
}

std::optional<LockArgs> ReadLock(const QByteArray &xdr)
{
    XdrReader reader(xdr);
    LockArgs args;
    reader.i32(args.link);
    reader.i32(args.flags);
    reader.u32(args.lockTimeout);
    return whole(reader, args);
}

std::optional<qint32> ReadLink(const QByteArray &xdr)
{
    XdrReader reader(xdr);
    qint32 link = 0;
    reader.i32(link);
    return whole(reader, link);
}

QByteArray CreateLinkResult(Error error, qint32 link, quint16 abortPort, quint32 maxReceive)
{
    return XdrWriter(16).i32(qint32(error)).i32(link).u32(abortPort).u32(maxReceive).bytes();
}

QByteArray WriteResult(Error error, quint32 size)
{
    return XdrWriter(8).i32(qint32(error)).u32(size).bytes();
}

QByteArray ReadResult(Error error, qint32 reason, const QByteArray &data)
{
    return XdrWriter(12 + data.size() + 3).i32(qint32(error)).i32(reason).opaque(data).bytes();
}

QByteArray ReadStbResult(Error error, quint8 statusByte)
{
    return XdrWriter(8).i32(qint32(error)).u32(statusByte).bytes();
}

QByteArray ErrorResult(Error error)
{
    return XdrWriter(4).i32(qint32(error)).bytes();
}

QByteArray DocmdResult(Error error)
{
    return XdrWriter(8).i32(qint32(error)).opaque({}).bytes();
}

} // namespace Vxi11
