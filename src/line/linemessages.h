#pragma once

#include <QSerialPort>
#include <QString>

// What the operator reads about the line: a closed port, a lost one, input that overflowed,
// and why a port could not be opened.

// `text` with every character that could break a line or reorder what follows (control
// characters, line and paragraph separators, direction overrides) spelled out as \n, \xNN or
// \u{NNNN}, so that a message can start no line of its own. Applying it twice gives the same as
// once: a message whose outside parts were escaped goes through it again unchanged.
QString EscapeControlCharacters(const QString &text);

// Text from outside (a device name, a server's or the system's words) as a message or the
// transcript quotes it: control characters spelled out as above, and a backslash doubled, so
// that no two texts read alike ("x\\ny" is not a line break).
QString EscapeOutsideText(const QString &text);

// A device name or URL as the transcript writes it: between double quotes, with every byte that
// is not printable ASCII, the quote and the backslash escaped as a reply's bytes are, so that
// no two names read alike and a reader can take the name back.
QString QuotedName(const QString &name);

// What the operator is told when the transcript stops taking lines.
QString TranscriptNotWrittenMessage(const QString &path, const QString &systemText);

// "COM port not open: <consequence>. ..." for every action refused on a closed port: what to
// press, or, while a lost port waits to be reopened by itself, that it will be.
QString PortNotOpenMessage(const QString &consequence, bool reopening = false);
// What the operator is told when input was dropped while no exchange was waiting: the oldest
// `dropped` bytes, the newest `kept` kept.
QString InputOverflowMessage(qint64 dropped, qint64 kept);
// What the operator is told when the Velk prompt did not come after a command.
QString PromptMissingMessage();
// "COM n (binding)", the binding escaped: how every message names a port.
QString PortLabel(int comPort, const QString &binding);

// What the operator reads when a lost port has been reopened by itself.
QString DescribeReopenedPort(int comPort, const QString &binding, const QString &settings);

// Every way a line can fail to open, or an open line can end, whatever carries it.
enum class LineError {
    // A local device
    NoSuchDevice,
    NameTooLong,
    PathThroughFile, // a part of the path before the last is not a directory
    TooManyLinks,
    PathNotSearchable,
    LookupFailed, // `detail`: the system's words
    NotSerial,
    PermissionDenied, // `owner`, `group`, `mode` say who may
    InUse,
    // A network serial server
    BadAddress,
    UnknownOption, // `detail`: the option's name
    HostNotFound,
    Refused,
    NoAnswer,
    Unreachable, // `detail`: the system's words, if any
    ClosedByServer, // `detail`: what the server said before it closed, if anything
    DroppedOnProbation, // `milliseconds`: how long the connection had to stay up
    // An instrument bound by identity (idn:PATTERN)
    NoInstrumentMatches,
    SeveralInstrumentsMatch, // `detail`: which, and where they answered
    // Either
    Lost, // the open line went away; `detail`: the system's words
    Other // `detail`: the system's words, if any
};

// One failure, separate from its text so that every reason can be checked without a device or
// a server that fails in that way. Every text in it may come from outside; the description
// escapes them all.
struct LineFailure
{
    LineError error = LineError::Other;
    int comPort = 0;
    QString binding; // the device path or URL, as written
    QString detail;
    QString host; // a network binding's
    quint16 port = 0;
    QString owner; // who owns the device, when known
    QString group; // the group that owns the device, when known
    unsigned mode = 0; // its permission bits
    int milliseconds = 0; // DroppedOnProbation, NoAnswer: the bound that ran out
    bool reopens = false; // Lost: the port is reopened by itself once the device is back
};
QString DescribeLineFailure(const LineFailure &failure);
// Why a line did not open, without naming it: what DescribeLineFailure says after the colon.
QString DescribeOpenFailureReason(const LineFailure &failure);

// Asks the system what stands between us and `device` after QSerialPort could not open it: a
// name that cannot be looked up, permissions, another program.
LineFailure DiagnoseDeviceFailure(int comPort, const QString &device,
        QSerialPort::SerialPortError error, const QString &detail);
