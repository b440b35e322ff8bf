#pragma once

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>

// A check script: the steps an operator would take by hand at the window (choose the port and
// framing, send, read, look at the reply), one a line, each with a verdict. Parsing and judging
// are pure; running the steps on a line belongs to the caller.

// Bytes in the form the transcript shows them: printable ASCII as is, \r \n \t \" \\ and \xHH
// for the rest, between double quotes.
QByteArray EscapedBytes(const QByteArray &bytes);
// The reverse, for the text between the quotes. False on an unknown escape, a short \x or a
// character above 255.
bool UnescapeBytes(const QString &text, QByteArray &bytes);

struct Expectation
{
    enum class Kind { Pattern, Exact, Number, Ack, Nak, Nothing };
    Kind kind = Kind::Nothing;
    QRegularExpression pattern; // Pattern: searched in the reply as the results box shows it
    QByteArray exact; // Exact: the reply's bytes, all of them, prompt and terminators included
    double low = 0; // Number: the closed range
    double high = 0;
};

struct ScriptStep
{
    enum class Kind {
        Port,
        Settings,
        Framing,
        Terminator,
        Prompt,
        Send,
        Query,
        Expect,
        Wait,
        Repeat,
        End,
    };
    enum class Framing { Off, Addr, Packet };

    Kind kind = Kind::Send;
    int line = 0; // 1-based line of the script
    QString source; // the line as written, without the end of line
    int number = 0; // Port: COM n; Framing: address; Wait: milliseconds; Repeat: count
    QString settings; // Settings: the text, checked by whoever opens the port
    Framing framing = Framing::Off;
    bool addCR = false; // Terminator
    bool addLF = true;
    bool on = true; // Prompt
    QByteArray command; // Send, Query: the bytes to frame, or the frame itself when raw
    bool raw = false; // send-raw, query-raw: the bytes go out unframed, no terminator added
    Expectation expect;
    int matchingIndex = -1; // Repeat: index of its End; End: index of its Repeat
};

struct CheckScript
{
    QList<ScriptStep> steps;
    // Filled when the script cannot run; nothing in it has been done yet.
    int errorLine = 0;
    QString error;
    bool ok() const { return error.isEmpty(); }
};

// The whole script is read before any step runs, so a typo on the last line costs nothing on
// the line. Lines end in LF or CR LF; a line whose first non-blank is '#' is a comment.
CheckScript ParseCheckScript(const QByteArray &text);

// The last reply as a check sees it.
struct ReplyUnderCheck
{
    bool read = false; // false when no read followed the last send
    QByteArray received; // every byte the read took
    QByteArray shown; // the results box text for it
    bool packetMode = false; // the reply was asked for in packet framing
};

struct CheckVerdict
{
    bool passed = false;
    QString detail; // on failure: what was expected and what came
};

CheckVerdict CheckReply(const Expectation &expectation, const ReplyUnderCheck &reply);

// How a step is named in the output and the report: the line as written, trimmed.
QString StepTitle(const ScriptStep &step);
