#pragma once

#include "line/record/linerecorder.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

// The transcript of a run (--log FILE): every frame written and every chunk read, with the time
// since the start, one line each, plus the opening, closing and loss of ports, as the recorder
// tells them. Each line goes to the file as it happens, so a crash or a kill loses nothing
// written before it, and nothing is kept in memory.
//
// A line is written whole or not at all. When the file cannot take a line (disk full, I/O
// error) writingFailed() says so, once, and the run goes on; the lines that could not be
// written are counted, and the first line written after each gap says how many are missing.
class WireLog : public QObject
{
    Q_OBJECT

public:
    // Follows `recorder` (when given) from now on, and says through it when it cannot write.
    // Its header gives the time the recorder's clock started, the time every line counts from.
    explicit WireLog(LineRecorder *recorder = nullptr, QObject *parent = nullptr);
    ~WireLog() override;

    // Creates `path` readable by its owner only, or empties an existing regular file of ours,
    // and writes the header line. Refuses anything else a name can lead to (a named pipe, a
    // device, a directory, a symbolic link, another user's file) without waiting or touching
    // it. False, with errorString() in one line, when the transcript cannot be written there.
    bool open(const QString &path);
    QString errorString() const { return m_error; }
    bool isOpen() const { return m_fd >= 0; }

    // Writes the entry's line, when a file is open.
    void record(const WireEntry &entry);

    // Lines that could not be written and are not yet accounted for in the file.
    qint64 missingLines() const { return m_missing; }

    // "2A 49 0A" and "*I\n": the two forms every chunk is shown in.
    static QByteArray hex(const QByteArray &bytes);
    static QByteArray escaped(const QByteArray &bytes);
    // "3 bytes: 2A 49 0A  \"*I\\n\"": how a frame or chunk is written after its word.
    static QByteArray chunk(const QByteArray &bytes);
    // One line of the transcript, without its end of line.
    static QByteArray line(double ms, int comPort, const char *what, const QByteArray &rest);
    // The line that stands for `count` lines lost between `fromMs` and `toMs`.
    static QByteArray lossLine(qint64 count, double fromMs, double toMs, const QString &reason);

signals:
    // The transcript stopped taking lines; said once a run.
    void writingFailed(const QString &message);

private:
    void write(double ms, int comPort, const char *what, const QByteArray &rest);
    // Writes all of `bytes` at the end of what was written whole; false with errno set.
    bool writeWhole(const QByteArray &bytes);
    void close();

    QDateTime m_startedAt;
    int m_fd = -1;
    QString m_path;
    QString m_error;
    qint64 m_end = 0; // where the last whole line ended
    bool m_tailDirty = false; // a failed write may have left part of a line after m_end
    qint64 m_missing = 0;
    double m_firstMissingMs = 0;
    QString m_missingReason;
    bool m_failureReported = false;
};
