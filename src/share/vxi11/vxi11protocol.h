#pragma once

#include <QByteArray>

#include <optional>

// The VXI-11 core and abort channels as ONC RPC programs: their numbers, the arguments a
// client sends and the results a server returns. Pure: XDR bytes in, XDR bytes out.
namespace Vxi11 {

constexpr quint32 CoreProgram = 0x0607AF;
constexpr quint32 AbortProgram = 0x0607B0;
constexpr quint32 InterruptProgram = 0x0607B1;
constexpr quint32 ProgramVersion = 1;

enum class Procedure : quint32 {
    Abort = 1, // on the abort channel
    CreateLink = 10,
    DeviceWrite = 11,
    DeviceRead = 12,
    DeviceReadStb = 13,
    DeviceTrigger = 14,
    DeviceClear = 15,
    DeviceRemote = 16,
    DeviceLocal = 17,
    DeviceLock = 18,
    DeviceUnlock = 19,
    DeviceEnableSrq = 20,
    DeviceDocmd = 22,
    DestroyLink = 23,
    CreateInterruptChannel = 25,
    DestroyInterruptChannel = 26,
};

// Operation flags.
constexpr qint32 WaitLock = 1;
constexpr qint32 End = 8;
constexpr qint32 TermCharSet = 128;
// Why a read ended.
constexpr qint32 RequestCount = 1;
constexpr qint32 TermChar = 2;
constexpr qint32 EndReason = 4;

enum class Error : qint32 {
    None = 0,
    Syntax = 1,
    NotAccessible = 3,
    InvalidLink = 4,
    Parameter = 5,
    ChannelNotEstablished = 6,
    NotSupported = 8,
    OutOfResources = 9,
    Locked = 11,
    NoLockHeld = 12,
    IoTimeout = 15,
    IoError = 17,
    InvalidAddress = 21,
    Abort = 23,
    ChannelEstablished = 29,
};

struct CreateLinkArgs
{
    qint32 clientId = 0;
    bool lockDevice = false;
    quint32 lockTimeout = 0;
    QByteArray device;
};
struct WriteArgs
{
    qint32 link = 0;
    quint32 ioTimeout = 0;
    quint32 lockTimeout = 0;
    qint32 flags = 0;
    QByteArray data;
};
struct ReadArgs
{
    qint32 link = 0;
    quint32 requestSize = 0;
    quint32 ioTimeout = 0;
    quint32 lockTimeout = 0;
    qint32 flags = 0;
    char termChar = 0;
};
struct GenericArgs
{
    qint32 link = 0;
    qint32 flags = 0;
    quint32 lockTimeout = 0;
    quint32 ioTimeout = 0;
};
struct LockArgs
{
    qint32 link = 0;
    qint32 flags = 0;
    quint32 lockTimeout = 0;
};

// The most a device name may hold, and the most data one write may carry.
constexpr quint32 MaxDeviceName = 64;

// Each is empty when the arguments cannot be read whole, or hold more than the bounds.
std::optional<CreateLinkArgs> ReadCreateLink(const QByteArray &xdr);
std::optional<WriteArgs> ReadWrite(const QByteArray &xdr, quint32 maxData);
std::optional<ReadArgs> ReadRead(const QByteArray &xdr);
std::optional<GenericArgs> ReadGeneric(const QByteArray &xdr);
std::optional<LockArgs> ReadLock(const QByteArray &xdr);
// A Device_Link alone: unlock, destroy_link, abort.
std::optional<qint32> ReadLink(const QByteArray &xdr);

QByteArray CreateLinkResult(Error error, qint32 link, quint16 abortPort, quint32 maxReceive);
QByteArray WriteResult(Error error, quint32 size);
QByteArray ReadResult(Error error, qint32 reason, const QByteArray &data);
QByteArray ReadStbResult(Error error, quint8 statusByte);
QByteArray ErrorResult(Error error);
// Device_DocmdResp: the error and no data.
QByteArray DocmdResult(Error error);

} // namespace Vxi11
