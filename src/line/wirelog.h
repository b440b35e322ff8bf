#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <functional>
#include <vector>

// One thing the transcript records, as it happens, for whoever watches the line live.
struct WireEntry
{
    enum class Kind { Sent, Received, Note };
    double ms = 0; // since the transcript's start
    int comPort = 0;
    Kind kind = Kind::Note;
    QByteArray what; // the transcript's word: sent, recv, open, close, lost, fail
    QByteArray bytes; // Sent / Received: the bytes; Note: the text, UTF-8
};

// The transcript of a run (--log FILE): every frame written and every chunk read, with the time
// since the start, one line each, plus the opening, closing and loss of ports. Each line goes
// to the file as it happens, so a crash or a kill loses nothing written before it.
class WireLog
{
public:
    // The clock starts now, file or not, so a live view has times before any --log opens.
    WireLog() { m_clock.start(); }

    // Called on the thread that records, for every entry, whether a file is open or not.
    using Listener = std::function<void(const WireEntry &)>;
    void addListener(Listener listener) { m_listeners.push_back(std::move(listener)); }
    double elapsedMs() const { return double(m_clock.nsecsElapsed()) / 1e6; }

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
    // "3 bytes: 2A 49 0A  \"*I\\n\"": how a frame or chunk is written after its word.
    static QByteArray chunk(const QByteArray &bytes);
    // One line of the transcript, without its end of line.
    static QByteArray line(double ms, int comPort, const char *what, const QByteArray &rest);

private:
    void write(int comPort, const char *what, const QByteArray &rest);
    void tell(int comPort, WireEntry::Kind kind, const char *what, const QByteArray &bytes);

    std::vector<Listener> m_listeners;

    QFile m_file;
    QElapsedTimer m_clock;
};
