#pragma once

#include <QSerialPort>
#include <QString>

// What the operator reads about the line: a closed port, a lost one, input that overflowed,
// and why a port could not be opened.

// `text` with every character that could break a line or reorder what follows (control
// characters, line and paragraph separators, direction overrides) spelled out as \n, \xNN or
// \u{NNNN}. Every text from outside (a device name, the system's own words) goes through it
// before it reaches a message or the transcript, so none can start a line of its own. Applying
// it twice gives the same as once.
QString EscapeControlCharacters(const QString &text);

// What the operator is told when the transcript stops taking lines.
QString TranscriptNotWrittenMessage(const QString &path, const QString &systemText);

// "COM port not open: <consequence>. Press ..." for every action refused on a closed port.
QString PortNotOpenMessage(const QString &consequence);
// What the operator is told when input was dropped while no exchange was waiting.
QString InputOverflowMessage(qint64 dropped);
// What the operator is told when the Velk prompt did not come after a command.
QString PromptMissingMessage();
// What the operator is told when an open port goes away. `systemText` is the system's own
// error text, shown only where it adds something to "went away or hung up".
QString DescribeLostPort(const QString &portLabel, const QString &systemText);

// Why a port could not be opened. Separate from the text, so that every reason can be checked
// without a device that fails in that way.
struct OpenFailure
{
    int comPort = 0;
    QString device;
    QSerialPort::SerialPortError error = QSerialPort::UnknownError;
    QString detail; // QSerialPort's own words
    bool accessDenied = false; // the device exists but we may not read/write it
    QString owner; // who owns the device, when known
    QString group; // the group that owns the device, when known
    unsigned mode = 0; // its permission bits
    int systemError = 0; // errno of looking the device up; 0 when it was found
    bool characterDevice = true; // false for a file, a directory and the like
};
// Asks the system what stands between us and `device` (permissions, owner, group).
OpenFailure DiagnoseOpenFailure(int comPort, const QString &device,
        QSerialPort::SerialPortError error, const QString &detail);
QString DescribeOpenFailure(const OpenFailure &failure);
