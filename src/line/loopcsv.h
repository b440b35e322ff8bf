#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>

#include <optional>

// One reply read during a loop tick, with where and when it came from.
struct LoopReading
{
    QDateTime at; // wall-clock time, local, for people
    double ms = 0; // since the start of the run, on the transcript's clock, for plotting
    int comPort = 0;
    QString command; // as typed, the framing left out
    QByteArray reply; // every byte read, the line's framing included
    std::optional<double> value; // empty when the reply is not one number
};

// The loop's replies as a CSV file (--csv FILE), one row each. Each row goes to the system as
// it is written, so the file is complete up to the last reply even if the program is killed.
class LoopCsv
{
public:
    // Creates or empties `path` and writes the header row. False, with errorString(), when
    // the file cannot be written.
    bool open(const QString &path);
    bool isOpen() const { return m_file.isOpen(); }
    QString errorString() const { return m_file.errorString(); }
    // False when the row could not be written whole (disk full, file gone).
    bool append(const LoopReading &reading);

    static QByteArray header();
    // One row with its CRLF. The reply is Latin-1 to UTF-8, one character per byte, so a
    // spreadsheet shows every byte and nothing is lost; CR, LF and quotes are kept inside
    // the quotes as CSV allows.
    static QByteArray row(const LoopReading &reading);
    static QByteArray quoted(const QByteArray &field);

private:
    QFile m_file;
};
