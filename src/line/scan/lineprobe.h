#pragma once

#include "line/exchange/exchangerun.h"
#include "line/scan/instrumentscan.h"
#include "line/scan/probeledger.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <functional>
#include <optional>

class LineSession;

// One line, probed by itself on a session of its own, every probe an exchange of the session.
// The line is opened once and its rate changed on the open line. At each rate in turn, the
// port window's default first, "*IDN?" goes out plain and to every address in one burst, and
// one listen tells whether anything answers there. At the rate that does, once the burst's
// answers are over, "*IDN?" goes plain and to each address, addressed and as a packet, one by
// one; the ledger says whose each reply is and how long each probe waits. Last, the line end
// the line wants is found at the rate and address found.
class LineProbe : public QObject
{
    Q_OBJECT

public:
    enum class Phase {
        Idle,
        Opening, // the session opens the line
        SeekingRate, // a burst at one rate, listened to until it shows the rate or its time is up
        LeavingRate, // garbage came: the line is let fall quiet before the next rate
        Draining, // the rate found: the burst's other answers are let pass
        FirstPass, // plain, then each address addressed and as a packet, short waits
        Confirming, // clean probes of what the first pass left uncertain
        FindingTerminator, // LF, then CR, then CR LF, until one draws an answer
        Done,
    };
    Q_ENUM(Phase)

    // `progressed` runs after every probe and once the line is done.
    LineProbe(const ScanTarget &target, InstrumentScan *scan, std::function<void()> progressed);
    ~LineProbe() override;

    void start();
    // Ends at once, without another word: the scan was cancelled.
    void stop();
    bool done() const { return m_phase == Phase::Done; }
    int probesDone() const { return m_probesDone; }
    int probesPlanned() const;

private:
    using Heard = std::function<void(const ExchangeRun::Result &)>;

    void opened();
    void failed();
    void lost();
    // Submits `frame` on the line, waiting `replyStartMs` for a reply to begin; an empty frame
    // only listens. `heard` gets the outcome, unless the line has gone.
    void exchange(const QByteArray &frame, const Framing &framing, int replyStartMs, int replyMs,
            const Heard &heard);
    void listen(int ms, int replyMs, const Heard &heard);
    // Listens until `notBefore` and then until nothing has come for a moment, or until
    // `bound`, and runs `then`; what came is let pass.
    void drainQuiet(qint64 notBefore, qint64 bound, const std::function<void()> &then);

    void nextRate();
    void burstHeard(const ExchangeRun::Result &result);
    void leaveRate();
    void rateFound();
    void drain();
    void nextFirstProbe();
    // One "*IDN?" to `slot` ending in `terminator`, waiting `waitMs` after its frame has gone
    // out (and as long as a reply that has begun takes); `then` gets whether it drew an answer.
    void probe(const ProbeSlot &slot, const QByteArray &terminator, int waitMs, bool clean,
            const std::function<void(bool)> &then);
    void followProbe(int attempt, qint64 dueAt, const std::function<void(bool)> &then);
    // Runs `then` once no probe can still be answered, the line listened to meanwhile.
    void whenQuiet(const std::function<void()> &then);
    void nextConfirmation();
    void findTerminator();
    void nextTerminator();
    void flushTerminator();
    void finish();

    // The rate the waits are reckoned at: the one set, or the window's default on a line
    // whose rate is not ours to set.
    qint32 timingRate() const;
    int sendingMs(qsizetype bytes) const;
    int replyMs() const;
    static qint64 now();

    ScanTarget m_target;
    InstrumentScan *m_scan;
    std::function<void()> m_progressed;
    LineSession *m_session = nullptr;
    Phase m_phase = Phase::Idle;
    QList<qint32> m_rates; // still to try
    std::optional<qint32> m_rate; // set on the line; none where that is not ours to do
    bool m_rateSettable = true;
    QByteArray m_heard; // what the burst at this rate brought so far
    qint64 m_burstWrittenAt = -1;
    qint64 m_burstHeardAt = -1; // its first byte
    int m_burstWindowMs = 0;
    qint64 m_drainBound = 0;
    ProbeLedger m_ledger;
    QList<ProbeSlot> m_firstPass;
    std::optional<ProbeSlot> m_terminatorSlot;
    QList<QByteArray> m_terminators; // still to try
    QByteArray m_terminator; // what the line wants
    qint64 m_lastHeardAt = 0; // the end of the last exchange
    qint64 m_drainedFrom = 0; // the end of the one before: since when `drained` came
    bool m_promptShown = false;
    int m_probesDone = 0;
};
