#pragma once

#include <QByteArray>
#include <QString>

// Bytes of the serial line protocol. Everything here is pure and works on raw bytes so that
// nothing is re-encoded between the operator's text and the wire.
namespace Wire {
constexpr char STX = 0x02;
constexpr char ETX = 0x03;
constexpr char CNTL_E = 0x05;
constexpr char ACK = 0x06;
constexpr char CNTL_F = 0x06;
constexpr char LF = 0x0A;
constexpr char CR = 0x0D;
constexpr char NAK = 0x15;
constexpr char Prompt = '>';
constexpr char QueryMark = '?';
// Device addresses are the whole numbers 0 to 15, each one character after STX ('0' + n).
constexpr int MinAddress = 0;
constexpr int MaxAddress = 15;
// The address in force from start-up, until the operator commits another.
constexpr char StartupAddress[] = "4";
// The interface is reached through COM 1 to COM 4.
constexpr int ComPorts = 4;
} // namespace Wire

// True when every character has a code 0..255 and so goes on the line as one byte of that
// code. Anything else would be silently replaced on conversion, so callers refuse it instead.
bool FitsOnLine(const QString &text);

// XOR of every byte, starting from 0.
int XorChecksum(const QByteArray &text);

// Builds the command frame for the selected protocol. Packet wins over Addr; terminators are
// never part of a packet.
QByteArray FrameMessage(const QByteArray &command, bool addrMode, bool packetMode,
        const QByteArray &devAddr, bool addCR, bool addLF);

// The CNTL-E / CNTL-F frame: only the Addr protocol wraps it (STX + address + code).
QByteArray FrameControlChar(char code, bool addrMode, const QByteArray &devAddr);

// How a command goes on the line: the protocol, the committed address and the terminators.
// It also knows whether a read follows a frame, the one rule the window, a script run and a
// script made from a transcript all follow.
struct Framing
{
    enum class Protocol { Off, Addr, Packet };
    Protocol protocol = Protocol::Off;
    QByteArray address; // the committed address: the characters after STX
    bool addCR = false; // ignored by a packet, which never carries a terminator
    bool addLF = true;

    QByteArray frame(const QByteArray &command) const;
    // A CNTL-E / CNTL-F: wrapped by the Addr protocol alone, bare otherwise.
    QByteArray controlFrame(char code) const;
    // The byte a read waits for: LF when LF is sent, else CR when CR is, else 0 (anything).
    char terminator() const;
    // The framed message is tested, not the typed text: a '?' in the address or in the
    // checksum byte makes a query too.
    static bool isQuery(const QByteArray &frame);
    // The framing `frame` was made in, as far as its bytes tell: STX with an ETX after the
    // address is a packet, STX alone an addressed message, anything else plain.
    static Protocol protocolOf(const QByteArray &frame);
    // A framed query with Auto Query on, a read asked for, or any packet.
    bool readFollows(const QByteArray &frame, bool autoQuery, bool readRequired) const;
};

// What each framing is called wherever it is shown or read, so that no two places can drift
// apart: the main window's option captions as its form has them (a layout test holds the two
// alike; Find Instruments shows them without the blank), a check script's `framing` words, the
// devices `--serve --device` takes, and the scan's report.
struct FramingWords
{
    Framing::Protocol protocol;
    const char *caption;
    const char *scriptWord;
    const char *deviceWord;
    const char *reportWord;
};
inline constexpr FramingWords kFramingWords[] = {
        {Framing::Protocol::Off, "Off(none)", "off", "plain", "plain"},
        {Framing::Protocol::Addr, "Addr ", "addr", "addr", "addressed"},
        {Framing::Protocol::Packet, "Packet", "packet", "packet", "packet"},
};
const FramingWords &WordsFor(Framing::Protocol protocol);

struct ReplyPacket
{
    enum class Kind { None, Ack, Nak };
    Kind kind = Kind::None;
    // 1-based position of the first ETX, 0 when there is none.
    qsizetype etxPos = 0;
    // XOR over positions 1..etxPos; meaningful only when etxPos != 0.
    int checksum = 0;
    // False when the reply stops right after its ETX, so there is nothing to compare.
    bool checksumPresent = false;
    bool checksumOk = false;
    QByteArray payload;
};

// Judges an ACK/NAK reply packet. Total: any input, however short or malformed, gives a result.
ReplyPacket CheckReplyPacket(const QByteArray &received);
