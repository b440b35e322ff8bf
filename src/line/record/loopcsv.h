#pragma once

#include "line/record/linerecorder.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>

// The replies the recorder is told of as a CSV file (--csv FILE), one row each: the loop's
// replies in the window, every reply a query reads in a check script. Each row goes to the
// system as it is written, so the file is complete up to the last reply even if the program is
// killed, and nothing is kept in memory.
class LoopCsv : public QObject
{
    Q_OBJECT

public:
    // Follows `recorder` (when given) from now on, and says through it when it cannot write.
    explicit LoopCsv(LineRecorder *recorder = nullptr, QObject *parent = nullptr);

    // Creates or empties `path` and writes the header row. False, with errorString(), when
    // the file cannot be written.
    bool open(const QString &path);
    bool isOpen() const { return m_file.isOpen(); }
    QString errorString() const { return m_file.errorString(); }
    // False when the row could not be written whole (disk full, file gone); writingFailed()
    // says so the first time.
    bool append(const LoopReading &reading);

    static QByteArray header();
    // One row with its CRLF: `reply` as the results box shows it, its lines joined by " | ",
    // Latin-1 to UTF-8; `bytes` every byte of it as the transcript writes them, "\r\n>" and
    // all, so that each row is one line in a spreadsheet and nothing is lost.
    static QByteArray row(const LoopReading &reading);
    static QByteArray quoted(const QByteArray &field);

signals:
    void writingFailed(const QString &message);

private:
    QFile m_file;
    bool m_failureReported = false;
};
