#include "script/scriptfromlog.h"

#include "line/exchange/deviceexchange.h"
#include "line/exchange/linewait.h"
#include "line/linemessages.h"
#include "line/record/transcriptformat.h"
#include "line/serialsettings.h"
#include "protocol/checkscript.h"
#include "protocol/escapedbytes.h"
#include "protocol/framing.h"
#include "protocol/numericvalue.h"

#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <chrono>
#include <cmath>
#include <optional>
#include <tuple>

namespace {

// A pause between an exchange and the next frame shorter than this is the pace of the run that
// was recorded, not an operator's or a script's wait.
constexpr double kShortestWaitMs = 20;

struct Chunk
{
    double ms = 0;
    QByteArray bytes;
};

struct Event
{
    enum class Kind { Open, Sent, Received, Note };
    Kind kind = Kind::Note;
    int line = 0; // of the transcript
    double ms = 0;
    int comPort = 0;
    QByteArray bytes; // Sent, Received
    QString text; // Open: the device or URL; Note: what the transcript says
    QString settings; // Open
    Transcript::Word word = Transcript::Word::Note;
};

// How a frame is made: the framing and the command that give exactly these bytes.
struct Framed
{
    Framing::Protocol protocol = Framing::Protocol::Off;
    int address = 0;
    bool addCR = false;
    bool addLF = true;
    QByteArray command;

    Framing framing() const
    {
        Framing framing;
        framing.protocol = protocol;
        framing.address = AddressCharacters(address);
        framing.addCR = addCR;
        framing.addLF = addLF;
        return framing;
    }
};

// The number of the address after the STX that starts `frame`, when a script can name it.
std::optional<int> addressAfterStx(const QByteArray &frame)
{
    if (frame.size() < 2 || frame[0] != Wire::STX)
        return std::nullopt;
    const int address = frame[1] - '0';
    if (address < Wire::MinAddress || address > Wire::MaxAddress)
        return std::nullopt;
    return address;
}

// A command a `send` or `query` line gives back unchanged: the reader trims the line with
// Unicode's idea of a blank (NBSP and NEL included), and a control character, C1 among them,
// has no business in a text file a terminal may show.
bool writable(const QByteArray &command)
{
    const QString text = QString::fromLatin1(command);
    if (text.isEmpty() || text != text.trimmed())
        return false;
    for (const char c : command) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F))
            return false;
    }
    return true;
}

std::optional<Framed> unframe(const QByteArray &frame)
{
    QList<Framed> candidates;
    auto withTerminators = [&candidates](Framed framed, const QByteArray &body) {
        for (const auto &[suffix, cr, lf] :
                {std::tuple{"\r\n", true, true}, std::tuple{"\n", false, true},
                        std::tuple{"\r", true, false}, std::tuple{"", false, false}}) {
            if (body.endsWith(suffix)) {
                framed.addCR = cr;
                framed.addLF = lf;
                framed.command = body.chopped(qsizetype(qstrlen(suffix)));
                candidates.append(framed);
                return;
            }
        }
    };
    if (const std::optional<int> address = addressAfterStx(frame)) {
        Framed packet;
        packet.protocol = Framing::Protocol::Packet;
        packet.address = *address;
        if (frame.size() >= 4)
            packet.command = frame.mid(2, frame.size() - 4);
        candidates.append(packet);
        Framed addressed;
        addressed.protocol = Framing::Protocol::Addr;
        addressed.address = *address;
        withTerminators(addressed, frame.mid(2));
    }
    withTerminators(Framed(), frame);
    // Only a reading that frames back to the very same bytes counts.
    for (const Framed &framed : candidates)
        if (writable(framed.command) && framed.framing().frame(framed.command) == frame)
            return framed;
    return std::nullopt;
}

// Reads a transcript line from left to right, each part once, so that a line of any length
// costs its length and no more.
class LineReader
{
public:
    explicit LineReader(QByteArrayView line) : m_line(line) { }

    bool atEnd() const { return m_at >= m_line.size(); }
    QByteArrayView rest() const { return m_line.sliced(m_at); }
    void skipBlanks()
    {
        while (!atEnd() && m_line[m_at] == ' ')
            ++m_at;
    }
    bool literal(QByteArrayView text)
    {
        if (!m_line.sliced(m_at).startsWith(text))
            return false;
        m_at += text.size();
        return true;
    }
    // Up to 9 digits: every count a transcript holds fits, and none can overflow.
    std::optional<qint64> number()
    {
        const qsizetype start = m_at;
        qint64 value = 0;
        while (!atEnd() && m_at - start < 10 && m_line[m_at] >= '0' && m_line[m_at] <= '9')
            value = value * 10 + (m_line[m_at++] - '0');
        if (m_at == start || m_at - start > 9)
            return std::nullopt;
        return value;
    }
    std::optional<double> milliseconds()
    {
        const auto whole = number();
        if (!whole)
            return std::nullopt;
        double ms = double(*whole);
        if (literal(".")) {
            const qsizetype start = m_at;
            const auto fraction = number();
            if (!fraction)
                return std::nullopt;
            ms += double(*fraction) / std::pow(10.0, double(m_at - start));
        }
        return ms;
    }
    QByteArrayView word()
    {
        const qsizetype start = m_at;
        while (!atEnd() && ((m_line[m_at] >= 'a' && m_line[m_at] <= 'z') || m_line[m_at] == '-'))
            ++m_at;
        return m_line.sliced(start, m_at - start);
    }
    // `count` bytes as two hex digits each, one blank between them.
    bool hexBytes(qint64 count, QByteArray &bytes)
    {
        if (count * 3 - 1 > m_line.size() - m_at && count > 0)
            return false;
        bytes.resize(count);
        for (qint64 i = 0; i < count; ++i) {
            if (i > 0 && !literal(" "))
                return false;
            const int high = digit(m_line[m_at]);
            const int low = digit(m_line[m_at + 1]);
            if (high < 0 || low < 0)
                return false;
            bytes[i] = char(high * 16 + low);
            m_at += 2;
        }
        return true;
    }
    // A text between double quotes, as EscapedBytes writes it; false on anything else.
    bool quoted(QByteArray &bytes)
    {
        if (!literal("\""))
            return false;
        const qsizetype start = m_at;
        while (!atEnd() && m_line[m_at] != '"')
            m_at += m_line[m_at] == '\\' ? 2 : 1;
        if (atEnd())
            return false;
        const QByteArrayView inside = m_line.sliced(start, m_at - start);
        ++m_at;
        return UnescapeBytes(QString::fromLatin1(inside), bytes);
    }

private:
    static int digit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    QByteArrayView m_line;
    qsizetype m_at = 0;
};

// "N bytes: HEX  \"escaped\"": the hex is what counts; the count and the quoted form check it.
bool readChunk(LineReader &reader, QByteArray &bytes)
{
    const auto count = reader.number();
    if (!count || !reader.literal(" bytes: ") || !reader.hexBytes(*count, bytes)
            || !reader.literal("  "))
        return false;
    QByteArray shown;
    return reader.quoted(shown) && reader.atEnd() && shown == bytes;
}

// `"DEVICE" at SETTINGS`; a transcript before the names were quoted has `DEVICE at SETTINGS`.
bool readOpen(LineReader &reader, Event &event)
{
    QByteArray device;
    if (reader.rest().startsWith('"')) {
        if (!reader.quoted(device) || !reader.literal(" at "))
            return false;
        event.text = QString::fromUtf8(device);
        event.settings = QString::fromUtf8(reader.rest());
    } else {
        const QString text = QString::fromUtf8(reader.rest());
        const qsizetype at = text.lastIndexOf(QStringLiteral(" at "));
        if (at < 0)
            return false;
        event.text = text.left(at);
        event.settings = text.mid(at + 4);
    }
    return SerialSettings::parse(event.settings).has_value();
}

// One line of a transcript; an empty error when it is a comment or blank.
std::optional<Event> readEntry(QByteArrayView line, QString &error)
{
    LineReader reader(line);
    reader.skipBlanks();
    if (reader.atEnd() || reader.rest().startsWith('#')) {
        // The header names the format; a newer one may hold lines this reader would misread.
        const qsizetype at = line.indexOf(Transcript::FormatMark);
        if (line.startsWith(Transcript::HeaderStart) && at >= 0) {
            LineReader format(line.sliced(at + Transcript::FormatMark.size()));
            const auto number = format.number();
            if (number && *number > Transcript::Format)
                error = QStringLiteral("written in transcript format %1; this Quillon reads "
                                       "formats up to %2")
                                .arg(*number)
                                .arg(Transcript::Format);
        }
        return std::nullopt;
    }
    Event event;
    const auto ms = reader.milliseconds();
    const bool port = ms && reader.literal(" COM");
    const auto comPort = port ? reader.number() : std::nullopt;
    if (!comPort || !reader.literal(" ")) {
        error = QStringLiteral("not a line of a quillon transcript");
        return std::nullopt;
    }
    if (*comPort < 1 || *comPort > Wire::ComPorts) {
        error = QStringLiteral("COM%1 is not a port: a transcript has COM1 to COM%2")
                        .arg(*comPort)
                        .arg(Wire::ComPorts);
        return std::nullopt;
    }
    event.ms = *ms;
    event.comPort = int(*comPort);
    const std::optional<Transcript::Word> word = Transcript::WordFrom(reader.word());
    bool ok = word && (reader.atEnd() || reader.literal(" "));
    event.word = word.value_or(Transcript::Word::Note);
    const Transcript::Body body = Transcript::BodyOf(event.word);
    if (ok && body == Transcript::Body::Bytes) {
        event.kind
                = event.word == Transcript::Word::Sent ? Event::Kind::Sent : Event::Kind::Received;
        ok = readChunk(reader, event.bytes);
        if (ok && event.bytes.isEmpty()) {
            error = QStringLiteral("a chunk of no bytes: nothing goes on a line or comes from it "
                                   "without a byte");
            return std::nullopt;
        }
    } else if (ok && body == Transcript::Body::OpenedLine) {
        event.kind = event.word == Transcript::Word::Open ? Event::Kind::Open : Event::Kind::Note;
        ok = readOpen(reader, event);
    } else if (ok) {
        event.text = QString::fromUtf8(reader.rest());
    }
    if (!ok) {
        error = QStringLiteral("not a line of a quillon transcript");
        return std::nullopt;
    }
    return event;
}

// Where the read after a frame stopped, by the run's own rule: at the chunk that brought the
// terminator, or the prompt when one came within the time the read waits for it, then after
// the settle and the drain. The chunks after it came while nobody read.
struct ReadSplit
{
    qsizetype chunks = 0; // the first ones, which the read took
    double endMs = 0;
    bool prompt = false;
    bool terminated = false; // the terminator came; without it the read waited out its bound
};

double pollsMs(int polls)
{
    return polls * std::chrono::duration<double, std::milli>(LineWait::PollPeriod).count();
}

ReadSplit splitRead(const QList<Chunk> &chunks, char terminator, double sentMs)
{
    ReadSplit split{chunks.size(), sentMs, false, false};
    if (chunks.isEmpty())
        return split;
    qsizetype terminatorChunk = -1;
    qsizetype promptChunk = -1;
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        if (terminatorChunk < 0 && (terminator == 0 || chunks[i].bytes.contains(terminator)))
            terminatorChunk = i;
        if (promptChunk < 0 && chunks[i].bytes.contains(Wire::Prompt))
            promptChunk = i;
    }
    if (terminatorChunk < 0) {
        // The read waited out its bound: everything up to the next frame was the reply.
        split.prompt = promptChunk >= 0;
        split.endMs = chunks.last().ms;
        return split;
    }
    split.terminated = true;
    split.prompt = promptChunk >= 0
            && chunks[promptChunk].ms - chunks[terminatorChunk].ms
                    <= pollsMs(LineWait::PromptPolls);
    split.chunks = (split.prompt ? std::max(terminatorChunk, promptChunk) : terminatorChunk) + 1;
    const double settledMs = chunks[split.chunks - 1].ms + LineWait::SettleSeconds * 1000.0;
    // The drain after the settle takes what the system holds by then, a little later still.
    constexpr double kDrainMs = 5;
    while (split.chunks < chunks.size() && chunks[split.chunks].ms <= settledMs + kDrainMs)
        ++split.chunks;
    split.endMs = std::max(settledMs, chunks[split.chunks - 1].ms);
    return split;
}

// The longest reply a script expects byte for byte; a longer one would make a script too large
// to read back, and a reply over the read's cap is cut in the replay as it was in the recording.
constexpr qsizetype kLongestExpectedBytes = qsizetype(1) * 1024 * 1024;
// How much of the bytes nobody read a comment quotes.
constexpr qsizetype kQuotedBytes = 200;

QString quotedExcerpt(const QByteArray &bytes)
{
    QString text = QString::fromLatin1(EscapedBytes(bytes.left(kQuotedBytes)));
    if (bytes.size() > kQuotedBytes)
        text += QStringLiteral("... (%1 bytes)").arg(bytes.size());
    return text;
}

class ScriptWriter
{
public:
    QByteArray script;

    void line(const QByteArray &text) { script += text + '\n'; }
    void line(const StepAction &step) { line(ScriptLine(step).toUtf8()); }
    // Text from the transcript, which anyone may have written: no character of it may start a
    // line of the script or reach the terminal that shows it.
    void comment(const QString &text) { line("# " + EscapeOutsideText(text).toUtf8()); }

    void open(const Event &event)
    {
        line("");
        comment(QStringLiteral("COM %1 was %2 in the recording")
                        .arg(event.comPort)
                        .arg(QString::fromLatin1(EscapedBytes(event.text.toUtf8()))));
        if (event.settings != m_settings) {
            m_settings = event.settings;
            line(SettingsStep{event.settings});
        }
        line(PortStep{event.comPort});
        m_comPort = event.comPort;
        m_idleSinceMs = event.ms;
        m_unread = false;
    }

    void exchange(const Event &sent, const QList<Chunk> &chunks)
    {
        keepPause(sent.ms);
        if (sent.comPort != m_comPort) {
            line(PortStep{sent.comPort});
            m_comPort = sent.comPort;
        }
        const QByteArray &frame = sent.bytes;
        const std::optional<Framed> framed = unframe(frame);
        const std::optional<int> address = addressAfterStx(frame);
        Framed next = m_framed;
        if (framed) {
            next.protocol = framed->protocol;
            next.address = framed->address;
            // A packet carries no terminator, so it says nothing about the setting.
            if (framed->protocol != Framing::Protocol::Packet) {
                next.addCR = framed->addCR;
                next.addLF = framed->addLF;
            }
        } else if (address && frame.size() == 3
                && (frame[2] == Wire::CNTL_E || frame[2] == Wire::CNTL_F)) {
            // Only the Addr framing wraps CNTL-E and CNTL-F, so the operator was in it: what
            // follows the frame (whether a read does) goes by that.
            next.protocol = Framing::Protocol::Addr;
            next.address = *address;
        }
        const ReadSplit split = splitRead(chunks, next.framing().terminator(), sent.ms);
        QByteArray reply;
        for (qsizetype i = 0; i < split.chunks; ++i)
            reply += chunks[i].bytes;
        if (split.prompt != m_prompt) {
            m_prompt = split.prompt;
            line(PromptStep{split.prompt});
        }
        setFraming(next);

        // Whether the replaying run reads after this frame by itself, by the run's own rule.
        ExchangeSettings replay;
        replay.framing = m_framed.framing();
        replay.unframed = true;
        const bool readFollows = DeviceExchange::frame(replay, frame).readFollows;
        // A reply of nothing but the prompt, or of nothing at all, was not read by the
        // operator either, unless the frame itself asked for a read.
        const bool onlyPrompt = split.prompt && reply.size() == 1;
        const bool query = readFollows || (!reply.isEmpty() && !onlyPrompt);
        if (framed)
            line(SendStep{QString::fromLatin1(framed->command), false, query});
        else
            line(SendStep{QString::fromLatin1(frame), true, query});
        if (query && reply.size() <= kLongestExpectedBytes) {
            Expectation everyByte;
            everyByte.kind = Expectation::Kind::Exact;
            everyByte.exact = reply;
            line(ExpectStep{everyByte});
        } else if (query) {
            comment(QStringLiteral("the reply, %1 bytes, is too long to be expected here")
                            .arg(reply.size()));
        }

        QByteArray unread;
        for (qsizetype i = split.chunks; i < chunks.size(); ++i)
            unread += chunks[i].bytes;
        if (!unread.isEmpty())
            comment(QStringLiteral("then, while nobody read, COM %1 sent %2")
                            .arg(sent.comPort)
                            .arg(quotedExcerpt(unread)));
        // A read whose terminator never came waited out its bound, the settle after it too.
        m_idleSinceMs = query && !split.terminated ? std::max(split.endMs,
                                sent.ms + pollsMs(LineWait::TerminatorPolls)
                                        + LineWait::SettleSeconds * 1000.0)
                                                   : split.endMs;
        m_unread = !unread.isEmpty();
    }

    void note(const Event &event)
    {
        if (event.word == Transcript::Word::Settings) { // given to the open line, which kept its
                                                        // connection
            m_settings = event.text;
            line(SettingsStep{event.text});
            return;
        }
        // A reopening names its device and settings as an opening does.
        const QString text = event.settings.isEmpty()
                ? event.text
                : QString::fromLatin1(EscapedBytes(event.text.toUtf8())) + " at " + event.settings;
        comment(QStringLiteral("COM %1 %2: %3")
                        .arg(event.comPort)
                        .arg(QLatin1String(Transcript::Spelling(event.word)), text));
    }

private:
    // The time between the last exchange and this frame, when it is more than the pace of the
    // run, or when the device spoke meanwhile: the replay waits as long (rounded up), so that
    // what the device says after a pause comes where it came in the recording, and is
    // discarded before the next frame as it was then.
    void keepPause(double frameMs)
    {
        const double pauseMs = frameMs - m_idleSinceMs;
        if (pauseMs >= kShortestWaitMs || (m_unread && pauseMs > 0)) {
            const qint64 ms = qMin(qint64(std::ceil(pauseMs)), ScriptLimits::MaxWaitMs);
            line(WaitStep{int(ms)});
        }
        m_unread = false;
    }

    void setFraming(const Framed &framed)
    {
        if (framed.protocol != m_framed.protocol || framed.address != m_framed.address) {
            line(FramingStep{framed.protocol, framed.address});
            m_framed.protocol = framed.protocol;
            m_framed.address = framed.address;
        }
        if (framed.addCR != m_framed.addCR || framed.addLF != m_framed.addLF) {
            line(TerminatorStep{framed.addCR, framed.addLF});
            m_framed.addCR = framed.addCR;
            m_framed.addLF = framed.addLF;
        }
    }

    int m_comPort = 0;
    QString m_settings = SerialSettings().text();
    bool m_prompt = true;
    Framed m_framed; // framing off, LF: as a script starts
    double m_idleSinceMs = 0;
    bool m_unread = false; // the device spoke after the last read
};

} // namespace

ScriptFromLog ScriptFromTranscript(const QByteArray &transcript, const QString &source)
{
    ScriptFromLog result;
    QList<Event> events;
    int lineNumber = 0;
    for (qsizetype start = 0; start < transcript.size();) {
        qsizetype end = transcript.indexOf('\n', start);
        if (end < 0)
            end = transcript.size();
        QByteArrayView line = QByteArrayView(transcript).sliced(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (line.endsWith('\r'))
            line.chop(1);
        QString error;
        std::optional<Event> event = readEntry(line, error);
        if (!error.isEmpty()) {
            result.errorLine = lineNumber;
            result.error = error;
            return result;
        }
        if (!event)
            continue;
        event->line = lineNumber;
        if (event->kind == Event::Kind::Note && event->word == Transcript::Word::Settings
                && !SerialSettings::parse(event->text)) {
            result.errorLine = lineNumber;
            result.error = QStringLiteral("not settings a port takes");
            return result;
        }
        events.append(std::move(*event));
    }

    ScriptWriter writer;
    writer.comment(QStringLiteral("Replays %1: every frame as it was sent, every reply expected "
                                  "byte for byte, every pause kept.")
                           .arg(source));
    int exchanges = 0;
    for (qsizetype i = 0; i < events.size(); ++i) {
        const Event &event = events.at(i);
        switch (event.kind) {
        case Event::Kind::Open:
            writer.open(event);
            break;
        case Event::Kind::Note:
            writer.note(event);
            break;
        case Event::Kind::Received:
            break; // nobody asked for it: it was discarded before the next command
        case Event::Kind::Sent: {
            // The device's answer is everything it sent on that port until the next command;
            // the writer tells what a read took from what came later.
            QList<Chunk> chunks;
            for (qsizetype j = i + 1; j < events.size(); ++j) {
                const Event &next = events.at(j);
                if (next.kind == Event::Kind::Received && next.comPort == event.comPort)
                    chunks.append({next.ms, next.bytes});
                else if (next.kind != Event::Kind::Received)
                    break;
            }
            writer.exchange(event, chunks);
            ++exchanges;
            break;
        }
        }
    }
    if (exchanges == 0) {
        result.error = QStringLiteral("the transcript holds no frame sent");
        return result;
    }
    if (writer.script.size() > ScriptLimits::MaxScriptBytes) {
        result.error = QStringLiteral("the script would be larger than the %1 bytes a script may "
                                      "have")
                               .arg(ScriptLimits::MaxScriptBytes);
        return result;
    }
    result.script = writer.script;
    return result;
}

int PrintScriptFromLog(const QString &path, std::FILE *out, std::FILE *err)
{
    const QString shownPath = EscapeOutsideText(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(err, "quillon: cannot read the transcript %s: %s\n", qPrintable(shownPath),
                qPrintable(file.errorString()));
        return 2;
    }
    const ScriptFromLog result = ScriptFromTranscript(file.readAll(), QFileInfo(path).fileName());
    if (!result.ok()) {
        if (result.errorLine > 0)
            std::fprintf(err, "quillon: %s:%d: %s\n", qPrintable(shownPath), result.errorLine,
                    qPrintable(result.error));
        else
            std::fprintf(err, "quillon: %s: %s\n", qPrintable(shownPath), qPrintable(result.error));
        return 2;
    }
    std::fwrite(result.script.constData(), 1, size_t(result.script.size()), out);
    return 0;
}
