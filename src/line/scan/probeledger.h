#pragma once

#include "line/scan/instrumentscan.h"
#include "protocol/framing.h"
#include "protocol/replyreading.h"

#include <QByteArray>
#include <QList>

#include <compare>
#include <map>
#include <optional>
#include <set>

// Where one "*IDN?" goes on a line: plain, or to an address, addressed or as a packet.
struct ProbeSlot
{
    Framing::Protocol protocol = Framing::Protocol::Off;
    int address = -1; // -1 when plain
    // Plain first, then by address, each address addressed before as a packet.
    friend auto operator<=>(const ProbeSlot &a, const ProbeSlot &b)
    {
        if (a.address != b.address)
            return a.address <=> b.address;
        return int(a.protocol) <=> int(b.protocol);
    }
    friend bool operator==(const ProbeSlot &, const ProbeSlot &) = default;
};

// The record of one line's probes and of what each drew, which decides whose answer a reply
// is, and how long the next probes wait.
//
// A packet names its address, and is that address's answer whenever it comes. A reply in text
// names nobody: it is the answer of the probe whose wait it came in only when no probe before
// that one, still unanswered, could be answering late. Otherwise it is held as tentative until
// a clean probe of that address (one that goes out once no other probe can still be answered)
// draws it again. Text that came where no probe's answer was due is attributed to nobody; the
// probes that could have drawn it are probed again cleanly. Nothing is shown under an address
// but what a probe of that address drew.
class ProbeLedger
{
public:
    static constexpr int LongestLatenessMs = InstrumentScan::LongestLatenessMs;

    struct Finding
    {
        ProbeSlot slot;
        QByteArray idn;
        int latenessMs = 0; // from the end of its frame to the reply's first byte
    };

    // "*IDN?" is answered with four fields, maker, model, serial number and firmware, separated
    // by commas and in printable characters (Latin-1's too: a maker's name may have an umlaut):
    // what garbage at a wrong rate never looks like.
    static bool isIdentity(const QByteArray &text);
    // One reply among what a line brought: a packet, or a line of text.
    struct Reply
    {
        bool packet = false;
        ReplyReading reading;
    };
    // The replies in `received`, each read by ReadReply; line ends and prompts between them
    // left out.
    static QList<Reply> replies(const QByteArray &received);

    // A probe of `slot` went out at `writtenAt` (ms on the monotonic clock); its frame takes
    // `sendingMs` on the line. Returns the attempt's number for heard().
    int sent(const ProbeSlot &slot, qint64 writtenAt, int sendingMs, bool clean);
    // What the line brought between `from` and `until` while attempt `current` (-1: none) had
    // its wait, the first byte at `from` (a reply's begin is known, what trailed it less so).
    // Returns whether `current` has drawn an answer of its own, certain or tentative.
    bool heard(int current, const QByteArray &bytes, qint64 from, qint64 until);
    // A clean probe of `slot` has had its whole wait: what it drew stands, its tentative
    // answers that it did not draw again are attributed to nobody.
    void settled(const ProbeSlot &slot);
    // A turnaround the line has shown outside any attempt (the first reply to a burst).
    void shown(int turnaroundMs);

    // The wait of a first pass over the addresses, after the frame has gone out: three times
    // the fastest turnaround the line has shown plus 25 ms, 40 to 60 ms. An empty address after
    // a fast reply costs little; a slow instrument's reply that comes after it is sorted out by
    // the clean probes.
    int firstPassWaitMs() const;
    // The wait of a clean probe of `slot`: 5/4 of the longest lateness the line has shown, or
    // of what this slot's own reply may have taken, plus 20 ms, at most LongestLatenessMs.
    int cleanWaitMs(const ProbeSlot &slot) const;
    // When a clean probe may go out: once no unanswered probe can still be answered.
    qint64 quietFrom() const;
    // The next slot to probe cleanly, in order: its answer is tentative, or it could have drawn
    // a reply attributed to nobody. None once every such slot has had its clean probe.
    std::optional<ProbeSlot> nextToConfirm() const;
    int toConfirm() const;

    // Every certain answer with an identity, plain first, then by address.
    QList<Finding> findings() const;
    std::optional<Finding> finding(const ProbeSlot &slot) const;
    // Identities that came where no probe drew them, each once: a reply later than any wait.
    QList<QByteArray> unattributed() const;

private:
    struct Attempt
    {
        ProbeSlot slot;
        qint64 writtenAt = 0;
        int sendingMs = 0;
        bool drew = false; // a reply in text came in its wait, its own or not
        bool answered = false; // it has an answer that is certainly its own
        // A reply to it begins before this, or is too late to be its own.
        qint64 dueUntil() const { return writtenAt + sendingMs + LongestLatenessMs; }
    };
    // A probe that may have drawn a reply, and how late that reply would have been.
    struct Candidate
    {
        ProbeSlot slot;
        int latenessMs = 0;
    };
    // A reply in text that no probe can claim as its own (yet).
    struct Stray
    {
        QByteArray idn;
        int latenessMs = 0; // after the probe it came for, when held as tentative
        QList<Candidate> candidates; // who may have drawn it
    };

    // The text probes written before `writtenBefore`, still unanswered, whose reply may begin
    // between `from` and `until`.
    QList<Candidate> openTextAttempts(qint64 from, qint64 until, qint64 writtenBefore) const;
    // Each returns whether attempt `current` drew it.
    bool attributePacket(const ReplyReading &reading, int current, qint64 from);
    bool attributeText(const QByteArray &idn, int current, qint64 from, qint64 until);
    // One that may have drawn it has drawn the same identity since, certainly: it was that
    // one's, late.
    bool explained(const Stray &stray) const;
    bool needsConfirming(const ProbeSlot &slot) const;
    std::set<ProbeSlot> confirmationsDue() const;
    void learnLateness(int latenessMs);

    QList<Attempt> m_attempts;
    std::map<ProbeSlot, Finding> m_certain;
    std::map<ProbeSlot, QList<Stray>> m_tentative;
    QList<Stray> m_strays;
    std::set<ProbeSlot> m_cleanlyProbed;
    int m_fastestMs = LongestLatenessMs;
    int m_longestMs = 0;
};
