#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <random>

// The device side of the line: an RS-232 interface in front of an IEEE 488.2 instrument.
// Pure: bytes in, bytes out. Timing, pacing and the line itself belong to the caller.
class Instrument
{
public:
    struct Options
    {
        int address = 4; // 0..15, sent and matched as the character 0x30 + address
        // Further instruments behind the same interface, each answering at its own address and
        // with its own serial number. Plain messages go to the one at `address`.
        QList<int> bus;
        bool prompt = true; // ">" after every message
        // Plain messages go unanswered, prompt and all: only the addressed instruments speak.
        bool addressedOnly = false;
        // A message ends at CR alone. LF is part of it, so a message sent with LF alone waits
        // for a CR, however long the line stays quiet.
        bool crOnly = false;
        bool silent = false; // reads everything, answers nothing
        bool badChecksum = false; // ACK packets carry a wrong checksum
        bool alwaysNak = false; // every packet is refused
        bool garbage = false; // answers are replaced by random bytes
        qsizetype floodBytes = 0; // answers are this many bytes of filler instead
        std::uint32_t seed = 1; // for --garbage, so a run can be repeated
        bool ramp = false; // MEAS? answers 1, 2, 3, ... (the n-th query n) as +n.000000E+00
        int overloadEvery = 0; // with ramp: every n-th MEAS? answers OVLD, no number
        // The instrument at this address (-1: none) ends its serial number with the byte that
        // makes the checksum of its *IDN? packet 0xFF, the value a signed char reads as -1.
        int checksumFF = -1;
    };

    // What one received message turned into.
    struct Exchange
    {
        QByteArray message; // the frame as received
        QByteArray answer; // what goes back on the line (may be empty)
        int listener = -1; // the instrument that answered, -1 for none
    };

    explicit Instrument(const Options &options);

    // Feeds received bytes. Returns the bytes to send back now: echoes, and the answers to
    // every message completed by these bytes. Completed messages are listed in `exchanges`.
    QByteArray receive(const QByteArray &bytes, QList<Exchange> *exchanges = nullptr);

    // A message without its terminator, once the line has been quiet for a while, counts as
    // complete (operators do send without CR/LF). Returns the answer, if any.
    QByteArray flushPending(QList<Exchange> *exchanges = nullptr);
    bool hasPending() const { return !m_buffer.isEmpty(); }

    int messagesHandled() const { return m_messages; }
    bool echo() const { return m_echo; }
    quint8 esr() const { return m_esr[m_options.address]; }

    static QByteArray identity() { return QByteArrayLiteral("VELK,QSIM-488,0,1.0"); }
    // The "*IDN?" reply of the instrument at `address` on a bus: its serial number is its own.
    static QByteArray busIdentity(int address);
    // busIdentity() with the byte added to its serial number that makes the XOR of the ACK
    // packet carrying it, ETX included, come out 0xFF.
    static QByteArray checksumFFIdentity(int address);

    // Event status register bits used here.
    static constexpr quint8 OperationComplete = 0x01;
    static constexpr quint8 CommandError = 0x20;

private:
    enum class Framing { Plain, Addressed, Packet };

    // Takes one complete message from the front of the buffer; false if none is complete yet.
    bool takeMessage(bool atIdle, QByteArray &answer, QList<Exchange> *exchanges);
    // Where the message's terminator is, at or after `from`; -1 when it has none yet.
    qsizetype terminatorAt(qsizetype from) const;
    // `address`: the instrument the message is for.
    QByteArray answerMessage(Framing framing, int address, const QByteArray &text, bool checksumOk);
    // The command's reply text (empty for a command that answers nothing).
    QByteArray execute(int address, const QByteArray &command, bool &isQuery);
    QByteArray packet(char code, int address, const QByteArray &payload) const;
    QByteArray fault(const QByteArray &answer);
    // The instrument that the address character after STX names, or -1 when none is there.
    int listenerFor(char addressChar) const;
    static char addressChar(int address) { return char(0x30 + address); }

    Options m_options;
    QByteArray m_buffer;
    bool m_echo = false;
    std::array<quint8, 16> m_esr{}; // each instrument's event status register
    int m_messages = 0;
    int m_measurements = 0;
    std::mt19937 m_random;
};
