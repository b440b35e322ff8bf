#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

// The transcript of a run (--log FILE): every frame written and every chunk read, with the time
// since the start, one line each, plus the opening, closing and loss of ports. Each line goes
// to the file as it happens, so a crash or a kill loses nothing written before it.
class WireLog
{
public:
    // Creates or empties `path` and writes the header line. False, with errorString(), when
    // the file cannot be written.
    bool open(const QString &path);
    QString errorString() const { return m_file.errorString(); }

    void sent(int comPort, const QByteArray &bytes);
    void received(int comPort, const QByteArray &bytes);
    // A line of text about the port: `what` is one word (open, close, lost, fail).
    void note(int comPort, const char *what, const QString &text);

    // "2A 49 0A" and "*I\n": the two forms every chunk is shown in.
    static QByteArray hex(const QByteArray &bytes);
    static QByteArray escaped(const QByteArray &bytes);
    // One line of the transcript, without its end of line.
    static QByteArray line(double ms, int comPort, const char *what, const QByteArray &rest);

private:
    void write(int comPort, const char *what, const QByteArray &rest);

    QFile m_file;
    QElapsedTimer m_clock;
};
