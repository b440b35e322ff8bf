#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The transcript's format, in one place for the writer (WireLog) and the reader that makes a
// check script from a transcript: its version, its header and the words a line can hold.
namespace Transcript {

// Raised when the lines or their meaning change; a reader refuses a newer one. Format 3 added
// the words of network clients.
constexpr int Format = 3;

// "# Quillon wire transcript, started TIME; times in ms since then; format N"
QByteArray Header(const QByteArray &startTime);
constexpr QByteArrayView HeaderStart = "# Quillon wire transcript";
constexpr QByteArrayView FormatMark = "; format ";

// The word after "COMn" on every line, and what follows it.
enum class Word {
    Sent, // bytes written: "N bytes: HEX  \"escaped\""
    Recv, // bytes read, the same way
    Open, // "\"binding\" at SETTINGS"
    Reopen, // the same, for a lost line that came back
    Close, // the binding, quoted
    Settings, // new settings given to the open line
    Found, // where a binding by identity found its instrument
    Note, // something the operator was told about the line that is no failure
    Fail, // an open that failed, as the operator was told
    Lost, // the open line went away, as the operator was told
    Attempt, // "N: why" for a reopening that did not succeed yet
    Cut, // a reply larger than its bound, and what became of the rest
    Client, // a network client's message, "ADDRESS PROTOCOL DEVICE sends \"escaped\""
    Lock, // a network client has the line to itself
    Unlock, // and lets it go
};

enum class Body { Bytes, OpenedLine, Text };
Body BodyOf(Word word);

// The word as written: a literal that outlives every line.
const char *Spelling(Word word);
// The word `text` spells; none for a word this format does not have.
std::optional<Word> WordFrom(QByteArrayView text);

} // namespace Transcript
