#pragma once

#include "line/linemessages.h"

#include <QList>
#include <QObject>
#include <QString>

#include <optional>

// The registry of what can carry the bytes of COM n, one entry for each scheme a binding may
// start with (socket://, rfc2217://), one for a binding by identity (idn:PATTERN) and one for a
// local device path. A binding is read once,
// into a LineAddress; whatever needs to know what kind of line it is asks the address's kind
// instead of reading the text again.

class LineTransport;
struct LineAddress;

// One serial device of the system, as --list-ports shows it.
struct SerialPortEntry
{
    QString device; // /dev/ttyUSB0
    QString byId; // its stable /dev/serial/by-id/ name, where there is one
    QString description;
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId, productId;
};

struct TransportKind
{
    // What a binding of this kind starts with, before "://"; empty for a device path.
    QString scheme;
    // What --list-ports adds about a binding of this kind; empty when the binding says it all.
    QString description;
    // How a lost line of this kind is waited for: a device path by watching for it to appear
    // again, a network server by trying it again now and then, an instrument bound by identity
    // by searching for it again, wherever it may have come back.
    enum class Reopen { WatchPath, RetryWithBackOff, SearchByIdentity };
    Reopen reopen = Reopen::WatchPath;
    // How long a reopened line has to stay up before it counts as back. A serial server accepts
    // a connection even when it cannot serve it (another client has the instrument) and closes
    // it soon after; such a line is a failed attempt, not a reopening. 0: back once open.
    int probationMs = 0;
    // Null for a binding by identity: the line it names is found first, and that one opened.
    LineTransport *(*create)(int comPort, const LineAddress &address, QObject *parent) = nullptr;
    // The lines of this kind the system has now; null for a kind that cannot be listed.
    QList<SerialPortEntry> (*list)() = nullptr;
};

// A binding as read once: its kind (never null) and, for a network binding, where to connect.
struct LineAddress
{
    QString binding; // as the operator wrote it
    const TransportKind *kind = nullptr;
    QString host;
    quint16 port = 0;
    // For a binding by identity: the glob its instrument's answer to "*IDN?" has to match.
    QString identityPattern;
    // Why nothing can be opened at this address (not a network address, an unknown option);
    // `problemDetail` is the outside text the description needs (the option's name).
    std::optional<LineError> problem;
    QString problemDetail;
};

// Every kind the registry knows, the device path's last.
const QList<TransportKind> &TransportKinds();

// What a binding by identity starts with.
inline constexpr QLatin1StringView IdentityPrefix{"idn:"};

LineAddress ParseLineAddress(const QString &binding);

// Every line the system can list now: its serial devices.
QList<SerialPortEntry> SystemSerialPorts();

// The transport for an address without a problem and not bound by identity, not yet opened.
LineTransport *CreateLineTransport(int comPort, const LineAddress &address, QObject *parent);
