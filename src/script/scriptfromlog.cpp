#include "script/scriptfromlog.h"

#include "line/deviceexchange.h"
#include "line/serialsettings.h"
#include "protocol/checkscript.h"
#include "protocol/framing.h"
#include "protocol/numericvalue.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>

#include <optional>
#include <tuple>

namespace {

struct Event
{
    enum class Kind { Open, Sent, Received, Note };
    Kind kind = Kind::Note;
    int comPort = 0;
    QByteArray bytes; // Sent, Received
    QString text; // Open, Note: what the transcript says
    QString what; // Note: close, lost, fail
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
        framing.address = EncodeAddress(QString::number(address)).devAddr.toLatin1();
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

// A command a script line can carry: the line is trimmed and holds no control characters.
bool writable(const QByteArray &command)
{
    if (command.isEmpty() || command != command.trimmed())
        return false;
    for (const char c : command) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 0x20 || code == 0x7F)
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

// "N bytes: HEX  \"escaped\"": the hex is what counts; the count checks it.
bool readChunk(const QString &rest, QByteArray &bytes)
{
    static const QRegularExpression chunk(QStringLiteral("^(\\d+) bytes: ([0-9A-F ]*?)  \""));
    const QRegularExpressionMatch match = chunk.match(rest);
    if (!match.hasMatch())
        return false;
    QString hex = match.captured(2);
    hex.remove(u' ');
    bytes = QByteArray::fromHex(hex.toLatin1());
    return bytes.size() == match.captured(1).toLongLong();
}

class ScriptWriter
{
public:
    QByteArray script;

    void line(const QByteArray &text) { script += text + '\n'; }
    void line(const StepAction &step) { line(ScriptLine(step).toUtf8()); }

    void open(const Event &event)
    {
        const qsizetype at = event.text.lastIndexOf(QStringLiteral(" at "));
        const QString device = at < 0 ? event.text : event.text.left(at);
        const QString settings = at < 0 ? QString() : event.text.mid(at + 4);
        line("");
        line("# COM " + QByteArray::number(event.comPort) + " was " + device.toUtf8()
                + " in the recording");
        if (!settings.isEmpty() && settings != m_settings) {
            m_settings = settings;
            line(SettingsStep{settings});
        }
        line(PortStep{event.comPort});
        m_comPort = event.comPort;
    }

    void exchange(int comPort, const QByteArray &frame, const QByteArray &reply)
    {
        if (comPort != m_comPort) {
            line(PortStep{comPort});
            m_comPort = comPort;
        }
        const bool prompt = reply.endsWith(Wire::Prompt);
        if (prompt != m_prompt) {
            m_prompt = prompt;
            line(PromptStep{prompt});
        }
        const std::optional<Framed> framed = unframe(frame);
        const std::optional<int> address = addressAfterStx(frame);
        if (framed) {
            setFraming(*framed);
        } else if (address && frame.size() == 3
                && (frame[2] == Wire::CNTL_E || frame[2] == Wire::CNTL_F)) {
            // Only the Addr framing wraps CNTL-E and CNTL-F, so the operator was in it: what
            // follows the frame (whether a read does) goes by that.
            Framed control = m_framed;
            control.protocol = Framing::Protocol::Addr;
            control.address = *address;
            setFraming(control);
        }
        // Whether the replaying run reads after this frame by itself, by the run's own rule.
        ExchangeSettings replay;
        replay.framing = m_framed.framing();
        replay.unframed = true;
        const bool readFollows = DeviceExchange::frame(replay, frame).readFollows;
        // A reply of nothing but the prompt, or of nothing at all, was not read by the
        // operator either, unless the frame itself asked for a read.
        const bool onlyPrompt = prompt && reply.size() == 1;
        const bool query = readFollows || (!reply.isEmpty() && !onlyPrompt);
        if (framed)
            line(SendStep{QString::fromLatin1(framed->command), false, query});
        else
            line(SendStep{QString::fromLatin1(frame), true, query});
        if (query) {
            Expectation everyByte;
            everyByte.kind = Expectation::Kind::Exact;
            everyByte.exact = reply;
            line(ExpectStep{everyByte});
        }
    }

    void note(const Event &event)
    {
        if (event.what == u"settings") { // given to the open line, which kept its connection
            m_settings = event.text;
            line("settings " + event.text.toUtf8());
            return;
        }
        line("# COM " + QByteArray::number(event.comPort) + ' ' + event.what.toUtf8() + ": "
                + event.text.toUtf8());
    }

private:
    void setFraming(const Framed &framed)
    {
        if (framed.protocol != m_framed.protocol || framed.address != m_framed.address) {
            line(FramingStep{framed.protocol, framed.address});
            m_framed.protocol = framed.protocol;
            m_framed.address = framed.address;
        }
        // A packet carries no terminator, so it says nothing about the setting.
        if (framed.protocol != Framing::Protocol::Packet
                && (framed.addCR != m_framed.addCR || framed.addLF != m_framed.addLF)) {
            line(TerminatorStep{framed.addCR, framed.addLF});
            m_framed.addCR = framed.addCR;
            m_framed.addLF = framed.addLF;
        }
    }

    int m_comPort = 0;
    QString m_settings = SerialSettings().text();
    bool m_prompt = true;
    Framed m_framed; // framing off, LF: as a script starts
};

} // namespace

ScriptFromLog ScriptFromTranscript(const QByteArray &transcript, const QString &source)
{
    ScriptFromLog result;
    QList<Event> events;
    static const QRegularExpression entry(
            QStringLiteral("^\\s*\\d+(?:\\.\\d+)? COM(\\d+) (\\w+) ?(.*)$"));
    const QList<QByteArray> lines = transcript.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString text = QString::fromUtf8(lines.at(i)).trimmed();
        if (text.isEmpty() || text.startsWith(u'#'))
            continue;
        const QRegularExpressionMatch match = entry.match(text);
        Event event;
        bool ok = match.hasMatch();
        if (ok) {
            event.comPort = match.captured(1).toInt();
            event.what = match.captured(2);
            event.text = match.captured(3);
            if (event.what == u"sent" || event.what == u"recv") {
                event.kind = event.what == u"sent" ? Event::Kind::Sent : Event::Kind::Received;
                ok = readChunk(event.text, event.bytes);
            } else if (event.what == u"open") {
                event.kind = Event::Kind::Open;
            }
        }
        if (!ok) {
            result.errorLine = int(i + 1);
            result.error = QStringLiteral("not a line of a quillon transcript");
            return result;
        }
        events.append(event);
    }

    ScriptWriter writer;
    writer.line("# Replays " + source.toUtf8()
            + ": every frame as it was sent, every reply expected byte for byte.");
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
            // The reply is everything the device sent on that port until the next command.
            QByteArray reply;
            for (qsizetype j = i + 1; j < events.size(); ++j) {
                const Event &next = events.at(j);
                if (next.kind == Event::Kind::Received && next.comPort == event.comPort)
                    reply += next.bytes;
                else if (next.kind != Event::Kind::Received)
                    break;
            }
            writer.exchange(event.comPort, event.bytes, reply);
            ++exchanges;
            break;
        }
        }
    }
    if (exchanges == 0) {
        result.error = QStringLiteral("the transcript holds no frame sent");
        return result;
    }
    result.script = writer.script;
    return result;
}

int PrintScriptFromLog(const QString &path, std::FILE *out, std::FILE *err)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(err, "quillon: cannot read the transcript %s: %s\n", qPrintable(path),
                qPrintable(file.errorString()));
        return 2;
    }
    const ScriptFromLog result = ScriptFromTranscript(file.readAll(), QFileInfo(path).fileName());
    if (!result.ok()) {
        if (result.errorLine > 0)
            std::fprintf(err, "quillon: %s:%d: %s\n", qPrintable(path), result.errorLine,
                    qPrintable(result.error));
        else
            std::fprintf(err, "quillon: %s: %s\n", qPrintable(path), qPrintable(result.error));
        return 2;
    }
    std::fwrite(result.script.constData(), 1, size_t(result.script.size()), out);
    return 0;
}
