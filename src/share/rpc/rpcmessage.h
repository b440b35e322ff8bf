#pragma once

#include <QByteArray>
#include <QString>

#include <variant>

// ONC RPC version 2 messages, as a server reads calls and writes replies. Pure: bytes in,
// bytes out.
namespace Rpc {

constexpr quint32 Version = 2;
// The most an authentication body may hold.
constexpr quint32 MaxAuthBytes = 400;

enum class AcceptStat : quint32 {
    Success = 0,
    ProgramUnavailable = 1,
    ProgramMismatch = 2,
    ProcedureUnavailable = 3,
    GarbageArguments = 4,
    SystemError = 5,
};

struct Call
{
    quint32 xid = 0;
    quint32 program = 0;
    quint32 version = 0;
    quint32 procedure = 0;
    QByteArray arguments; // XDR, as they follow the header
};

// A record that is no call this server can take, and what to answer.
struct Refusal
{
    enum class Kind {
        Unreadable, // too short for a call header, or not a call: nothing can be answered
        RpcMismatch, // another RPC version: answered as denied, with the version we speak
        BadCredentials, // an authentication body over its bound: answered as denied
    };
    Kind kind = Kind::Unreadable;
    quint32 xid = 0;
    QString what; // for the operator
};

std::variant<Call, Refusal> ReadCall(const QByteArray &record);

// An accepted reply: the status, then `results` (Success) or nothing (other statuses; a
// program mismatch carries the versions we serve).
QByteArray AcceptedReply(quint32 xid, AcceptStat status, const QByteArray &results = {},
        quint32 lowVersion = 0, quint32 highVersion = 0);
// A denied reply for `refusal`.
QByteArray DeniedReply(const Refusal &refusal);
// `record` as one fragment, its mark in front.
QByteArray RecordMarked(const QByteArray &record);

} // namespace Rpc
