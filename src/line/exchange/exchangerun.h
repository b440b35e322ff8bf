#pragma once

#include "line/linehold.h"
#include "protocol/framing.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class SerialControl;

// One exchange carried out by signals instead of a wait: the frame is written, then the reply
// is gathered as the line brings it, each wait a timer. The scan probes lines side by side this
// way, and a network client's query takes its turn this way, neither holding up the event
// loop. It holds the line from start() until finished(), and lets events run throughout.
class ExchangeRun : public QObject
{
    Q_OBJECT

public:
    enum class Phase {
        Idle,
        AwaitingSettings, // settings just applied to the line are not settled yet
        AwaitingReply, // written; nothing has come yet
        Receiving, // the reply has begun and has not ended
        AwaitingPrompt, // the reply has ended; the interface's ready prompt may follow
    };
    Q_ENUM(Phase)

    struct Waits
    {
        int replyStartMs = 250; // how long the reply may take to begin
        int replyMs = 1000; // once it has begun, how long it may take to end
        int promptMs = 0; // once it has ended, how long the prompt may take; 0: none is waited
                          // for, though one that came with the reply is kept
    };

    enum class End {
        Complete, // the reply ended, and the prompt came when one was waited for
        PromptMissing, // the reply ended, the prompt did not come
        NoReply, // nothing came within replyStartMs
        Unfinished, // the reply began and did not end within replyMs
        LineGone, // the port closed or was lost meanwhile
    };
    Q_ENUM(End)

    struct Result
    {
        QByteArray received; // at most ReplyCapBytes, from the first byte after the write
        End end = End::NoReply;
        bool cut = false; // more came than ReplyCapBytes: the rest was read and discarded
        int beganAfterMs = -1; // when the first byte came after the write; -1: none came
        // What waited in the line and was thrown away just before the write (at most
        // ReplyCapBytes): a late answer to an exchange before, for whoever keeps count.
        QByteArray drained;
        // When the frame went out, on the monotonic clock (QElapsedTimer's reference, in ms);
        // -1 when it never did.
        qint64 writtenAt = -1;
    };

    ExchangeRun(SerialControl &line, LineHold &hold, QObject *parent = nullptr);
    ~ExchangeRun() override;

    // Whether `received` holds a reply to a frame in `framing` that has ended: its terminator
    // has come (any byte, without one), or a packet's checksum, or the interface's prompt.
    static bool replyEnded(const QByteArray &received, const Framing &framing);

    // Takes the line for `holder`, and once settings just applied are settled, throws away what
    // waits in it, writes `frame` and gathers the reply. The line must be free and open. An
    // empty frame writes nothing: the run only listens, what waited being `drained`.
    void start(const QByteArray &frame, const Framing &framing, const Waits &waits,
            const QString &holder);
    // Ends it at once, without finished().
    void stop();
    Phase phase() const { return m_phase; }

signals:
    void finished(const ExchangeRun::Result &result);

private:
    void write();
    void arrived();
    void timedOut();
    void finish(End end);
    void enter(Phase phase, int waitMs);

    SerialControl &m_line;
    LineHold &m_hold;
    Phase m_phase = Phase::Idle;
    QByteArray m_frame;
    Framing m_framing;
    Waits m_waits;
    Result m_result;
    QTimer m_timer;
    QElapsedTimer m_sent;
};
