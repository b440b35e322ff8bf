#pragma once

#include "line/linehold.h"
#include "line/record/transcriptformat.h"

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
    double ms = 0; // on the recorder's clock
    int comPort = 0;
    Transcript::Word word = Transcript::Word::Note;
    // Sent and Recv: the bytes; any other word: the text, UTF-8, control characters spelled out
    QByteArray bytes;

    bool isChunk() const { return Transcript::BodyOf(word) == Transcript::Body::Bytes; }
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
    // A line of text about the port; control characters in `text` are spelled out, so no name
    // can start a line of its own.
    void note(int comPort, Transcript::Word word, const QString &text);
    // A reply read in answer to `command`, every byte of it, as the results box shows it, and
    // the number it holds; `client` names the network client that asked, if one did.
    void replyRead(int comPort, const QString &command, const QByteArray &reply,
            const QByteArray &shown, std::optional<double> value, const QString &client = {});
    // While `hold` is Quiet, what happens on the line is kept in a batch, with the time it
    // happened, and told when the hold says the batch is due, in the order it happened: an
    // exchange tells it in time it would otherwise spin away. At most BatchLimit entries wait.
    // The hold must outlive this recorder, or be replaced first; none: everything is told live.
    void setHold(const LineHold *hold);
    static constexpr qsizetype BatchLimit = 64;

signals:
    void recorded(const WireEntry &entry);
    void replyRecorded(const LoopReading &reading);
    // A follower that writes a file (the transcript, the CSV) can no longer write it; each says
    // so once a run.
    void writingFailed(const QString &message);

private:
    void tell(int comPort, Transcript::Word word, const QByteArray &bytes);
    void tellBatch();

    QElapsedTimer m_clock;
    QDateTime m_startedAt;
    const LineHold *m_hold = nullptr;
    QList<WireEntry> m_batch;
};
