#include "line/scan/lineprobe.h"

#include "line/exchange/linewait.h"
#include "line/linemessages.h"
#include "line/port/serialcontrol.h"
#include "line/serialsettings.h"
#include "line/session/linesession.h"
#include "protocol/numericvalue.h"

#include <QElapsedTimer>

#include <algorithm>

namespace {

const QByteArray kQuery = QByteArrayLiteral("*IDN?");
// Until the line end is known, every message ends in CR LF: an interface that ends messages
// at LF and one that ends them at CR both take it, and skip the other byte as a stray line end
// between messages.
const QByteArray kEitherLineEnd = QByteArrayLiteral("\r\n");
// The line ends the main window can send, in the order they are tried: its own default first.
const QList<QByteArray> kLineEnds
        = {QByteArrayLiteral("\n"), QByteArrayLiteral("\r"), QByteArrayLiteral("\r\n")};
// Plain, and each address addressed and as a packet, then one line end at least.
constexpr int kProbesAtTheRate = 1 + 2 * (Wire::MaxAddress - Wire::MinAddress + 1) + 1;
// A reply to "*IDN?" rarely passes this; once it has begun, the wait for its end is the time it
// takes on the line, with a little slack for gaps between bytes, and at most a second.
constexpr int kReplyBytes = 100;
constexpr int kBitsPerByte = 10; // start, eight data bits, stop
constexpr int kByteGapSlackMs = 20;
constexpr int kMaxReplyWaitMs = 1000;
// What a burst brings is looked at in pieces this long, so that garbage ends a rate at once.
constexpr int kChunkMs = 30;
// A line is quiet once nothing has come for this long; one that never falls quiet is left
// after kLongestDrainMs all the same.
constexpr int kQuietMs = 30;
constexpr int kLongestDrainMs = 3000;
// Once the line has shown its prompt, a reply that ended without it waits this long for it.
constexpr int kPromptMs = 20;

Framing framingFor(const ProbeSlot &slot, const QByteArray &lineEnd)
{
    Framing framing;
    framing.protocol = slot.protocol;
    if (slot.address >= 0)
        framing.address = AddressCharacters(slot.address);
    framing.addCR = lineEnd.contains(Wire::CR);
    framing.addLF = lineEnd.contains(Wire::LF);
    return framing;
}

const ProbeSlot kPlain{Framing::Protocol::Off, -1};

// At the right rate an answer to "*IDN?" is printable text, line ends and the prompt; at a wrong
// one, nearly any few bytes hold something else.
bool holdsGarbage(const QByteArray &heard)
{
    return std::any_of(heard.cbegin(), heard.cend(), [](char c) {
        return (c < 0x20 && c != Wire::CR && c != Wire::LF && c != '\t') || c >= 0x7F;
    });
}

// The interface's prompt and nothing but line ends: the interface understood, though nobody
// answered with text.
bool isBarePrompt(const QByteArray &heard)
{
    return heard.contains(Wire::Prompt) && std::all_of(heard.cbegin(), heard.cend(), [](char c) {
        return c == Wire::Prompt || c == Wire::CR || c == Wire::LF;
    });
}

enum class Verdict { Undecided, Rate, Garbage };

// An identity anywhere, or the bare prompt, shows the rate; garbage shows that it is not.
Verdict judge(const QByteArray &heard)
{
    const QList<ProbeLedger::Reply> replies = ProbeLedger::replies(heard);
    if (std::any_of(replies.cbegin(), replies.cend(), [](const ProbeLedger::Reply &reply) {
            return !reply.packet && ProbeLedger::isIdentity(reply.reading.text);
        }))
        return Verdict::Rate;
    if (holdsGarbage(heard))
        return Verdict::Garbage;
    return isBarePrompt(heard) ? Verdict::Rate : Verdict::Undecided;
}

} // namespace

LineProbe::LineProbe(
        const ScanTarget &target, InstrumentScan *scan, std::function<void()> progressed)
    : m_target(target),
      m_scan(scan),
      m_progressed(std::move(progressed)),
      m_rates(InstrumentScan::rates())
{ }

LineProbe::~LineProbe()
{
    stop();
}

void LineProbe::stop()
{
    m_phase = Phase::Done;
    if (m_session)
        m_session->close(); // the exchange under way ends with it, unheard
}

qint64 LineProbe::now()
{
    QElapsedTimer clock;
    clock.start();
    return clock.msecsSinceReference();
}

qint32 LineProbe::timingRate() const
{
    return m_rate.value_or(SerialSettings().baudRate);
}

int LineProbe::sendingMs(qsizetype bytes) const
{
    const qint64 bits = qint64(bytes) * kBitsPerByte * 1000;
    return int((bits + timingRate() - 1) / timingRate());
}

int LineProbe::replyMs() const
{
    return std::min(kMaxReplyWaitMs, sendingMs(kReplyBytes) + kByteGapSlackMs);
}

int LineProbe::probesPlanned() const
{
    int rest = 0;
    switch (m_phase) {
    case Phase::Idle:
    case Phase::Opening:
    case Phase::SeekingRate:
    case Phase::LeavingRate:
        rest = int(m_rates.size()) + kProbesAtTheRate;
        break;
    case Phase::Draining:
        rest = kProbesAtTheRate;
        break;
    case Phase::FirstPass:
        rest = int(m_firstPass.size()) + m_ledger.toConfirm() + 1;
        break;
    case Phase::Confirming:
        rest = m_ledger.toConfirm() + 1;
        break;
    case Phase::FindingTerminator:
        rest = int(m_terminators.size());
        break;
    case Phase::Done:
        break;
    }
    return m_probesDone + rest;
}

void LineProbe::start()
{
    if (const auto problem = InstrumentScan::targetProblem(m_target.binding)) {
        emit m_scan->skipped(m_target.binding, *problem);
        finish();
        return;
    }
    LineSessionOptions options;
    options.comPort = m_target.comPort;
    options.binding = m_target.binding;
    SerialSettings first;
    first.baudRate = m_rates.first();
    options.settings = first.text();
    options.reopen = false;
    options.recordedReplies.clear();
    m_session = new LineSession(options, this);
    connect(&m_session->port(), &SerialControl::opened, this, &LineProbe::opened);
    connect(&m_session->port(), &SerialControl::failure, this, &LineProbe::failed);
    m_phase = Phase::Opening;
    m_session->open(); // opened() or failed() follows, perhaps at once
}

void LineProbe::opened()
{
    if (m_phase != Phase::Opening)
        return;
    // An RFC 2217 server takes the rate whatever it answered about the settings; a raw
    // connection keeps the server's, so whatever answers, answers at that one.
    m_rateSettable = m_session->port().canSetRate();
    if (m_rateSettable) {
        m_rate = m_rates.first();
    } else {
        emit m_scan->rateFixed(m_target.binding);
        m_rates = {m_rates.first()};
    }
    nextRate();
    m_progressed(); // fewer probes on a line without a settable rate
}

void LineProbe::failed()
{
    if (m_phase == Phase::Opening) {
        emit m_scan->skipped(
                m_target.binding, DescribeOpenFailureReason(m_session->port().lastFailure()));
        finish();
    } else if (!m_session->port().PortOpen()) {
        lost();
    }
}

void LineProbe::lost()
{
    if (m_phase == Phase::Done)
        return;
    emit m_scan->skipped(
            m_target.binding, QStringLiteral("The device went away while it was probed."));
    finish();
}

void LineProbe::exchange(const QByteArray &frame, const Framing &framing, int replyStartMs,
        int replyMs, const Heard &heard)
{
    LineSession::Submission submission;
    submission.frame = frame;
    submission.framing = framing;
    submission.waits.replyStartMs = std::max(1, replyStartMs);
    submission.waits.replyMs = replyMs;
    submission.waits.promptMs = frame.isEmpty() || !m_promptShown ? 0 : kPromptMs;
    submission.holder = QStringLiteral("the scan");
    if (!frame.isEmpty())
        ++m_probesDone;
    // Taken by value: the next submission, made from inside, starts a new result.
    // NOLINTNEXTLINE(performance-unnecessary-value-param): a reference would see it reset
    m_session->submit(submission, [this, heard](ExchangeRun::Result result) {
        if (m_phase == Phase::Done)
            return;
        if (result.end == ExchangeRun::End::LineGone) {
            lost();
            return;
        }
        m_promptShown = m_promptShown || result.received.contains(Wire::Prompt);
        m_drainedFrom = std::exchange(m_lastHeardAt, now());
        heard(result);
    });
}

void LineProbe::listen(int ms, int replyMs, const Heard &heard)
{
    exchange(QByteArray(), framingFor(kPlain, kEitherLineEnd), ms, replyMs, heard);
}

void LineProbe::drainQuiet(qint64 notBefore, qint64 bound, const std::function<void()> &then)
{
    const qint64 at = now();
    listen(int(std::max<qint64>(kQuietMs, notBefore - at)), kChunkMs,
            [this, notBefore, bound, then](const ExchangeRun::Result &result) {
                const qint64 heardAt = now();
                if ((result.end == ExchangeRun::End::NoReply && heardAt >= notBefore)
                        || heardAt >= bound)
                    then();
                else
                    drainQuiet(notBefore, bound, then);
            });
}

void LineProbe::nextRate()
{
    m_phase = Phase::SeekingRate;
    if (m_rates.isEmpty()) {
        finish();
        return;
    }
    const qint32 rate = m_rates.takeFirst();
    if (m_rateSettable && m_rate != rate) {
        SerialSettings settings;
        settings.baudRate = rate;
        if (!m_session->port().applySettings(settings.text())) {
            // Opening it again for this rate could reset the device: the rest is left alone.
            emit m_scan->skipped(m_target.binding,
                    QStringLiteral("Its rate cannot be set to %1 baud while it is open; the "
                                   "rates from there on were not tried.")
                            .arg(rate));
            finish();
            return;
        }
        m_rate = rate;
    }
    // Plain and every address at once: an interface that answers only its addresses shows the
    // rate as well as one that answers plain.
    QByteArray burst = framingFor(kPlain, kEitherLineEnd).frame(kQuery);
    for (int address = Wire::MinAddress; address <= Wire::MaxAddress; ++address)
        burst += framingFor({Framing::Protocol::Addr, address}, kEitherLineEnd).frame(kQuery);
    m_heard.clear();
    m_burstHeardAt = -1;
    m_burstWindowMs = ProbeLedger::LongestLatenessMs + sendingMs(burst.size());
    exchange(burst, framingFor(kPlain, kEitherLineEnd), m_burstWindowMs, kChunkMs,
            [this](ExchangeRun::Result result) {
                m_burstWrittenAt = result.writtenAt;
                result.drained.clear(); // what the rate before left
                burstHeard(result);
            });
}

void LineProbe::burstHeard(const ExchangeRun::Result &result)
{
    if (m_burstHeardAt < 0 && !result.drained.isEmpty())
        m_burstHeardAt = result.writtenAt; // it came between two listens
    else if (m_burstHeardAt < 0 && !result.received.isEmpty())
        m_burstHeardAt = result.writtenAt + result.beganAfterMs;
    for (const QByteArray &bytes : {result.drained, result.received})
        m_heard += bytes.left(LineWait::ReplyCapBytes - m_heard.size());
    switch (judge(m_heard)) {
    case Verdict::Rate:
        rateFound();
        return;
    case Verdict::Garbage:
        // Before the next rate, the line falls quiet: garbage that went on coming would be
        // taken for that rate's.
        m_phase = Phase::LeavingRate;
        drainQuiet(now(), now() + kLongestDrainMs, [this] { nextRate(); });
        return;
    case Verdict::Undecided:
        break;
    }
    const qint64 at = now();
    const qint64 windowEnd = m_burstWrittenAt + m_burstWindowMs;
    const auto again = [this](const ExchangeRun::Result &more) { burstHeard(more); };
    if (at < windowEnd)
        listen(int(windowEnd - at), kChunkMs, again);
    else if (result.end != ExchangeRun::End::NoReply && at < windowEnd + replyMs())
        listen(kQuietMs, kChunkMs, again); // a reply that began in time has its time to end
    else
        nextRate();
}

void LineProbe::rateFound()
{
    emit m_scan->lineAnswered(m_target.binding, m_rateSettable ? m_rate : std::nullopt);
    // No turnaround is longer than the first reply to the burst took, less the plain frame.
    if (m_burstHeardAt >= 0)
        m_ledger.shown(int(m_burstHeardAt - m_burstWrittenAt)
                - sendingMs(framingFor(kPlain, kEitherLineEnd).frame(kQuery).size()));
    m_phase = Phase::Draining;
    drainQuiet(m_burstWrittenAt + m_burstWindowMs, now() + kLongestDrainMs, [this] {
        m_phase = Phase::FirstPass;
        m_firstPass = {kPlain};
        for (int address = Wire::MinAddress; address <= Wire::MaxAddress; ++address)
            m_firstPass << ProbeSlot{Framing::Protocol::Addr, address}
                        << ProbeSlot{Framing::Protocol::Packet, address};
        nextFirstProbe();
    });
}

void LineProbe::nextFirstProbe()
{
    if (m_firstPass.isEmpty()) {
        m_phase = Phase::Confirming;
        nextConfirmation();
        return;
    }
    const ProbeSlot slot = m_firstPass.takeFirst();
    // Plain goes first on a quiet line, and has the longest wait: nothing else can answer it.
    const bool plain = slot == kPlain;
    probe(slot, kEitherLineEnd, plain ? ProbeLedger::LongestLatenessMs : m_ledger.firstPassWaitMs(),
            plain, [this](bool) { nextFirstProbe(); });
}

void LineProbe::probe(const ProbeSlot &slot, const QByteArray &lineEnd, int waitMs, bool clean,
        const std::function<void(bool)> &then)
{
    const Framing framing = framingFor(slot, lineEnd);
    const QByteArray frame = framing.frame(kQuery);
    const int sending = sendingMs(frame.size());
    exchange(frame, framing, sending + waitMs, replyMs(),
            [this, slot, sending, waitMs, clean, then](const ExchangeRun::Result &result) {
                m_ledger.heard(-1, result.drained, m_drainedFrom, result.writtenAt);
                const int attempt = m_ledger.sent(slot, result.writtenAt, sending, clean);
                const bool drew = !result.received.isEmpty()
                        && m_ledger.heard(attempt, result.received,
                                result.writtenAt + result.beganAfterMs, now());
                m_progressed();
                if (drew)
                    then(true);
                else
                    followProbe(attempt, result.writtenAt + sending + waitMs, then);
            });
}

void LineProbe::followProbe(int attempt, qint64 dueAt, const std::function<void(bool)> &then)
{
    const qint64 at = now();
    if (at >= dueAt) {
        then(false);
        return;
    }
    // What came in its wait that was not its answer (a prompt, another's late reply) ended the
    // exchange early: the rest of the wait is its own still.
    listen(int(dueAt - at), replyMs(),
            [this, attempt, dueAt, then](const ExchangeRun::Result &result) {
                bool drew
                        = m_ledger.heard(attempt, result.drained, m_drainedFrom, result.writtenAt);
                if (!result.received.isEmpty())
                    drew = m_ledger.heard(attempt, result.received,
                                   result.writtenAt + result.beganAfterMs, now())
                            || drew;
                if (drew)
                    then(true);
                else
                    followProbe(attempt, dueAt, then);
            });
}

void LineProbe::whenQuiet(const std::function<void()> &then)
{
    const qint64 at = now();
    const qint64 quiet = m_ledger.quietFrom();
    if (at >= quiet) {
        then();
        return;
    }
    listen(int(quiet - at), replyMs(), [this, then](const ExchangeRun::Result &result) {
        m_ledger.heard(-1, result.drained, m_drainedFrom, result.writtenAt);
        if (!result.received.isEmpty())
            m_ledger.heard(-1, result.received, result.writtenAt + result.beganAfterMs, now());
        whenQuiet(then);
    });
}

void LineProbe::nextConfirmation()
{
    // The last probes' late replies come in first: they may ask for more to be confirmed.
    whenQuiet([this] {
        const std::optional<ProbeSlot> slot = m_ledger.nextToConfirm();
        if (!slot) {
            findTerminator();
            return;
        }
        probe(*slot, kEitherLineEnd, m_ledger.cleanWaitMs(*slot), true, [this, slot = *slot](bool) {
            m_ledger.settled(slot);
            nextConfirmation();
        });
    });
}

void LineProbe::findTerminator()
{
    m_phase = Phase::FindingTerminator;
    // Plain when the interface answers plain, else the first address that answers addressed.
    const QList<ProbeLedger::Finding> findings = m_ledger.findings();
    const auto text = std::find_if(
            findings.cbegin(), findings.cend(), [](const ProbeLedger::Finding &finding) {
                return finding.slot.protocol != Framing::Protocol::Packet;
            });
    if (text == findings.cend()) {
        finish();
        return;
    }
    m_terminatorSlot = text->slot;
    m_terminators = kLineEnds;
    nextTerminator();
}

void LineProbe::nextTerminator()
{
    whenQuiet([this] {
        if (m_terminators.isEmpty()) {
            m_terminator = kEitherLineEnd; // it drew every answer found
            finish();
            return;
        }
        const QByteArray lineEnd = m_terminators.takeFirst();
        probe(*m_terminatorSlot, lineEnd, m_ledger.cleanWaitMs(*m_terminatorSlot), true,
                [this, lineEnd](bool drew) {
                    if (drew) {
                        m_terminator = lineEnd;
                        finish();
                    } else {
                        flushTerminator();
                    }
                });
    });
}

void LineProbe::flushTerminator()
{
    // The line end it did not take left the message waiting in the interface: a CR LF ends it,
    // and whatever that draws is let pass.
    const int sending = sendingMs(kEitherLineEnd.size());
    exchange(kEitherLineEnd, framingFor(kPlain, kEitherLineEnd),
            sending + m_ledger.cleanWaitMs(*m_terminatorSlot), replyMs(),
            [this, sending](const ExchangeRun::Result &result) {
                drainQuiet(result.writtenAt + sending + ProbeLedger::LongestLatenessMs,
                        now() + kLongestDrainMs, [this] { nextTerminator(); });
            });
}

void LineProbe::finish()
{
    if (m_phase == Phase::Done)
        return;
    m_phase = Phase::Done;
    for (const ProbeLedger::Finding &finding : m_ledger.findings()) {
        FoundInstrument instrument;
        instrument.binding = m_target.binding;
        instrument.byId = m_target.byId;
        instrument.baudRate = m_rateSettable ? m_rate : std::nullopt;
        instrument.protocol = finding.slot.protocol;
        instrument.address = finding.slot.address;
        instrument.terminator = m_terminator;
        instrument.idn = finding.idn;
        emit m_scan->instrumentFound(instrument);
    }
    for (const QByteArray &idn : m_ledger.unattributed())
        emit m_scan->answeredLate(m_target.binding, idn);
    if (m_session)
        m_session->close();
    m_progressed();
}
