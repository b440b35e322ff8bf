#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

// One thing that happened on the line, as the recorder tells it to whoever follows it.
struct WireEntry
{
    enum class Kind { Sent, Received, Note };
    double ms = 0; // on the recorder's clock
    int comPort = 0;
    Kind kind = Kind::Note;
    QByteArray what; // the transcript's word: sent, recv, open, close, lost, fail, note, reopen
    QByteArray bytes; // Sent / Received: the bytes; Note: the text, UTF-8, control characters
                      // spelled out
};

// One reply read in answer to a command, with where and when it came.
struct LoopReading
{
    // Wall-clock time, ms since the epoch: shown in local time, which costs microseconds to
    // work out, only when written out.
    qint64 at = 0;
    double ms = 0; // on the recorder's clock, for plotting
    int comPort = 0;
    QString command; // as typed, the framing left out
    QByteArray reply; // every byte read, the line's framing included
    QByteArray shown; // the reply as the results box shows it, Latin-1
    std::optional<double> value; // empty when the reply is not one number
    // A network client's exchange: its address, protocol and device; empty for the operator's.
    QString client;
};

// The one record of the line for a run. The serial control feeds it every frame written, every
// chunk read and the opening, closing and loss of ports; whoever reads a reply (a loop's tick in
// the window, a query of a check script) adds the reply. The transcript, the wire view, the CSV
// file and the loop chart follow it, in the window and without one alike.
//
// It keeps nothing itself beyond an exchange's few entries, until the exchange has time to tell
// them: each follower decides what to keep, and a follower nobody looks at costs no more than
// what it keeps.
class LineRecorder : public QObject
{
    Q_OBJECT

public:
    explicit LineRecorder(QObject *parent = nullptr);

    // The run's clock, started with the recorder: every time recorded is in ms since then.
    double elapsedMs() const { return double(m_clock.nsecsElapsed()) / 1e6; }
    QDateTime startedAt() const { return m_startedAt; }

    void sent(int comPort, const QByteArray &bytes);
    void received(int comPort, const QByteArray &bytes);
    // A line of text about the port. `what` is one word, a string literal (it is kept without a
    // copy); control characters in `text` are spelled out, so no name can start a line of its own.
    void note(int comPort, const char *what, const QString &text);
    // A reply read in answer to `command`, every byte of it, and as the results box shows it;
    // `client` names the network client that asked, if one did.
    void replyRead(int comPort, const QString &command, const QByteArray &reply,
            const QByteArray &shown, const QString &client = {});
    // While deferred, what happens on the line is kept, with the time it happened, and told when
    // flushed or no longer deferred, in the order it happened: an exchange tells it in time it
    // would otherwise spin away. At most DeferredLimit entries wait.
    void setDeferred(bool deferred);
    void flush();
    static constexpr qsizetype DeferredLimit = 64;

signals:
    void recorded(const WireEntry &entry);
    void replyRecorded(const LoopReading &reading);
    // A follower that writes a file (the transcript, the CSV) can no longer write it; each says
    // so once a run.
    void writingFailed(const QString &message);

private:
    void tell(int comPort, WireEntry::Kind kind, const char *what, const QByteArray &bytes);

    QElapsedTimer m_clock;
    QDateTime m_startedAt;
    bool m_deferred = false;
    QList<WireEntry> m_waiting;
};
