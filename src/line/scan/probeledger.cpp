#include "line/scan/probeledger.h"

#include "protocol/replyreading.h"

#include <algorithm>

namespace {

// A clean probe waits this much longer than the lateness it allows for, and this much more.
constexpr int kCleanNumerator = 5;
constexpr int kCleanDenominator = 4;
constexpr int kCleanSlackMs = 20;
// The first pass: a few times the fastest turnaround, within bounds.
constexpr int kFirstPassFactor = 3;
constexpr int kFirstPassSlackMs = 25;
constexpr int kFirstPassMinMs = 40;
constexpr int kFirstPassMaxMs = 60;

bool isText(const ProbeSlot &slot)
{
    return slot.protocol != Framing::Protocol::Packet;
}

bool lineEnd(char c)
{
    return c == Wire::CR || c == Wire::LF;
}

} // namespace

bool ProbeLedger::isIdentity(const QByteArray &text)
{
    return text.count(',') >= 3 && std::all_of(text.cbegin(), text.cend(), [](char c) {
        const auto code = static_cast<unsigned char>(c);
        return (code >= 0x20 && code < 0x7F) || code >= 0xA0;
    });
}

QList<ProbeLedger::Reply> ProbeLedger::replies(const QByteArray &received)
{
    QList<Reply> found;
    qsizetype at = 0;
    while (at < received.size()) {
        const char c = received.at(at);
        if (lineEnd(c) || c == Wire::Prompt || c == ' ') {
            ++at;
            continue;
        }
        Reply reply;
        qsizetype end = received.size();
        if (c == Wire::ACK || c == Wire::NAK) {
            // Its checksum may be any byte, a line end too: the packet ends where it says.
            const ReplyPacket packet = CheckReplyPacket(received.mid(at));
            if (packet.etxPos > 0 && packet.checksumPresent)
                end = at + packet.etxPos + 1;
            reply.packet = true;
        } else {
            end = std::find_if(received.cbegin() + at, received.cend(), lineEnd)
                    - received.cbegin();
        }
        const QByteArray bytes = received.mid(at, end - at);
        reply.reading = ReadReply(
                bytes, reply.packet ? Framing::Protocol::Packet : Framing::Protocol::Addr);
        found << reply;
        at = end;
    }
    return found;
}

int ProbeLedger::sent(const ProbeSlot &slot, qint64 writtenAt, int sendingMs, bool clean)
{
    Attempt attempt;
    attempt.slot = slot;
    attempt.writtenAt = writtenAt;
    attempt.sendingMs = sendingMs;
    m_attempts << attempt;
    if (clean)
        m_cleanlyProbed.insert(slot);
    return int(m_attempts.size()) - 1;
}

void ProbeLedger::shown(int turnaroundMs)
{
    m_fastestMs = std::min(m_fastestMs, std::max(0, turnaroundMs));
}

void ProbeLedger::learnLateness(int latenessMs)
{
    m_longestMs = std::min(LongestLatenessMs, std::max(m_longestMs, latenessMs));
}

QList<ProbeLedger::Candidate> ProbeLedger::openTextAttempts(
        qint64 from, qint64 until, qint64 writtenBefore) const
{
    QList<Candidate> open;
    for (const Attempt &attempt : m_attempts)
        if (isText(attempt.slot) && !attempt.answered && attempt.writtenAt < writtenBefore
                && attempt.dueUntil() > from)
            open << Candidate{attempt.slot,
                    int(std::clamp<qint64>(
                            until - attempt.writtenAt - attempt.sendingMs, 0, LongestLatenessMs))};
    return open;
}

bool ProbeLedger::heard(int current, const QByteArray &bytes, qint64 from, qint64 until)
{
    bool drew = false;
    for (const Reply &reply : replies(bytes)) {
        if (reply.packet)
            drew = attributePacket(reply.reading, current, from) || drew;
        else if (isIdentity(reply.reading.text))
            drew = attributeText(reply.reading.text, current, from, until) || drew;
    }
    return drew;
}

bool ProbeLedger::attributePacket(const ReplyReading &reading, int current, qint64 from)
{
    if (!reading.address)
        return false;
    const ProbeSlot slot{Framing::Protocol::Packet, *reading.address};
    // The newest probe of the address it names, whenever it comes.
    for (int n = int(m_attempts.size()) - 1; n >= 0; --n) {
        Attempt &attempt = m_attempts[n];
        if (attempt.slot != slot || attempt.writtenAt > from)
            continue;
        attempt.answered = true;
        const int lateness = int(std::max<qint64>(0, from - attempt.writtenAt - attempt.sendingMs));
        learnLateness(lateness);
        shown(lateness);
        if (reading.packetVerified() && isIdentity(reading.text) && !m_certain.contains(slot))
            m_certain.insert({slot, Finding{slot, reading.text, lateness}});
        return n == current;
    }
    return false;
}

bool ProbeLedger::attributeText(const QByteArray &idn, int current, qint64 from, qint64 until)
{
    if (current >= 0 && isText(m_attempts[current].slot) && !m_attempts[current].drew) {
        Attempt &attempt = m_attempts[current];
        attempt.drew = true;
        const int lateness = int(std::max<qint64>(0, from - attempt.writtenAt - attempt.sendingMs));
        const QList<Candidate> open = openTextAttempts(from, until, attempt.writtenAt);
        if (open.isEmpty()) {
            attempt.answered = true;
            learnLateness(lateness);
            shown(lateness);
            m_certain.insert_or_assign(attempt.slot, Finding{attempt.slot, idn, lateness});
        } else {
            m_tentative[attempt.slot] << Stray{idn, lateness, open};
        }
        return true;
    }
    const QList<Candidate> open = openTextAttempts(from, until, until);
    // It came at least this late for whichever of them drew it.
    int soonest = LongestLatenessMs;
    for (const Candidate &candidate : open)
        soonest = std::min(soonest, candidate.latenessMs);
    if (!open.isEmpty())
        learnLateness(soonest);
    m_strays << Stray{idn, 0, open};
    return false;
}

void ProbeLedger::settled(const ProbeSlot &slot)
{
    const auto tentative = m_tentative.find(slot);
    if (tentative == m_tentative.end())
        return;
    const auto certain = m_certain.find(slot);
    for (const Stray &stray : tentative->second)
        if (certain == m_certain.end() || certain->second.idn != stray.idn)
            m_strays << stray;
    m_tentative.erase(tentative);
}

bool ProbeLedger::explained(const Stray &stray) const
{
    return std::any_of(
            stray.candidates.cbegin(), stray.candidates.cend(), [&](const Candidate &candidate) {
                const auto found = m_certain.find(candidate.slot);
                return found != m_certain.end() && found->second.idn == stray.idn;
            });
}

bool ProbeLedger::needsConfirming(const ProbeSlot &slot) const
{
    return !m_cleanlyProbed.contains(slot) && !m_certain.contains(slot);
}

std::set<ProbeSlot> ProbeLedger::confirmationsDue() const
{
    std::set<ProbeSlot> due;
    for (const auto &[slot, strays] : m_tentative)
        if (needsConfirming(slot))
            due.insert(slot);
    for (const Stray &stray : m_strays)
        if (!explained(stray))
            for (const Candidate &candidate : stray.candidates)
                if (needsConfirming(candidate.slot))
                    due.insert(candidate.slot);
    return due;
}

std::optional<ProbeSlot> ProbeLedger::nextToConfirm() const
{
    const std::set<ProbeSlot> due = confirmationsDue();
    if (due.empty())
        return std::nullopt;
    return *due.begin();
}

int ProbeLedger::toConfirm() const
{
    return int(confirmationsDue().size());
}

int ProbeLedger::firstPassWaitMs() const
{
    return std::clamp(
            kFirstPassFactor * m_fastestMs + kFirstPassSlackMs, kFirstPassMinMs, kFirstPassMaxMs);
}

int ProbeLedger::cleanWaitMs(const ProbeSlot &slot) const
{
    int lateness = m_longestMs;
    if (const auto tentative = m_tentative.find(slot); tentative != m_tentative.end())
        for (const Stray &stray : tentative->second)
            lateness = std::max(lateness, stray.latenessMs);
    for (const Stray &stray : m_strays)
        for (const Candidate &candidate : stray.candidates)
            if (candidate.slot == slot)
                lateness = std::max(lateness, candidate.latenessMs);
    return std::min(
            LongestLatenessMs, lateness * kCleanNumerator / kCleanDenominator + kCleanSlackMs);
}

qint64 ProbeLedger::quietFrom() const
{
    qint64 quiet = 0;
    for (const Attempt &attempt : m_attempts)
        if (!attempt.answered)
            quiet = std::max(quiet, attempt.dueUntil());
    return quiet;
}

QList<ProbeLedger::Finding> ProbeLedger::findings() const
{
    QList<Finding> all;
    for (const auto &[slot, finding] : m_certain)
        all << finding;
    return all;
}

std::optional<ProbeLedger::Finding> ProbeLedger::finding(const ProbeSlot &slot) const
{
    const auto found = m_certain.find(slot);
    if (found == m_certain.end())
        return std::nullopt;
    return found->second;
}

QList<QByteArray> ProbeLedger::unattributed() const
{
    QList<QByteArray> late;
    for (const Stray &stray : m_strays)
        if (!explained(stray) && !late.contains(stray.idn))
            late << stray.idn;
    // Held as tentative by a probe whose clean probe never came (the line went away).
    for (const auto &[slot, strays] : m_tentative) {
        const auto certain = m_certain.find(slot);
        for (const Stray &stray : strays)
            if (!explained(stray) && !late.contains(stray.idn)
                    && (certain == m_certain.end() || certain->second.idn != stray.idn))
                late << stray.idn;
    }
    return late;
}
