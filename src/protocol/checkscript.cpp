#include "checkscript.h"

#include "framing.h"
#include "numericvalue.h"
#include "replynumber.h"

#include <QStringList>

namespace {

constexpr int kMaxComPort = 4;
constexpr int kMaxAddress = 15;
constexpr int kMaxRepeat = 1000000;
constexpr qint64 kMaxWaitMs = 24LL * 3600 * 1000;

const QString kNothingToSend = QStringLiteral("Nothing to send");
const QString kMissingAddress = QStringLiteral("Missing a device address");
const QString kOutsideLatin1
        = QStringLiteral("Cannot send: the command holds a character outside "
                         "the 8-bit range (codes 0 to 255). Nothing was sent.");

bool readCount(const QString &text, int low, int high, int &value)
{
    bool ok = false;
    const int read = text.toInt(&ok);
    if (!ok || read < low || read > high)
        return false;
    value = read;
    return true;
}

bool readHex(const QString &text, QByteArray &bytes)
{
    QString digits = text;
    digits.remove(u' ');
    if (digits.isEmpty() || digits.size() % 2 != 0)
        return false;
    for (QChar c : digits)
        if (!c.isDigit() && !(c >= u'a' && c <= u'f') && !(c >= u'A' && c <= u'F'))
            return false;
    bytes = QByteArray::fromHex(digits.toLatin1());
    return true;
}

QString formatBound(double value)
{
    return QString::number(value, 'g', 15);
}

// The value a number check reads: the packet's payload in packet framing, otherwise the reply
// up to its first terminator, as the results box shows a plain reply.
QByteArray replyValue(const ReplyUnderCheck &reply)
{
    if (reply.packetMode) {
        const ReplyPacket packet = CheckReplyPacket(reply.received);
        if (packet.kind != ReplyPacket::Kind::None)
            return packet.payload;
    }
    QByteArray value = reply.received;
    for (const char terminator : {Wire::CR, Wire::LF}) {
        const qsizetype at = value.indexOf(terminator);
        if (at >= 0)
            value.truncate(at);
    }
    return value;
}

// A reply may run to megabytes: a verdict quotes the start of it and says how long it was.
QString quoted(const QByteArray &bytes)
{
    constexpr qsizetype kExcerptBytes = 200;
    if (bytes.size() <= kExcerptBytes)
        return QString::fromLatin1(EscapedBytes(bytes));
    return QStringLiteral("%1... (%2 bytes)")
            .arg(QString::fromLatin1(EscapedBytes(bytes.left(kExcerptBytes))))
            .arg(bytes.size());
}

QString packetVerdict(const QByteArray &received, ReplyPacket::Kind wanted)
{
    const ReplyPacket packet = CheckReplyPacket(received);
    const char *wantedName = wanted == ReplyPacket::Kind::Ack ? "ACK" : "NAK";
    const QString expected = QStringLiteral("expected a%1 %2 packet, got ")
                                     .arg(wanted == ReplyPacket::Kind::Ack ? "n" : "")
                                     .arg(QLatin1String(wantedName));
    if (packet.kind == ReplyPacket::Kind::None)
        return expected + quoted(received);
    if (packet.kind != wanted)
        return expected
                + (packet.kind == ReplyPacket::Kind::Ack ? QStringLiteral("an ACK packet")
                                                         : QStringLiteral("a NAK packet"));
    // The right kind is only worth a pass when the packet is whole: a failed checksum means
    // the code byte itself may be the corrupted one.
    if (packet.etxPos == 0)
        return expected + QStringLiteral("one without its ETX");
    if (!packet.checksumPresent)
        return expected + QStringLiteral("one without its checksum");
    if (!packet.checksumOk)
        return expected + QStringLiteral("one whose checksum fails");
    return QString();
}

// Parses the text after "expect".
bool parseExpectation(const QString &text, Expectation &expectation, QString &error)
{
    if (text.size() >= 2 && text.startsWith(u'/') && text.endsWith(u'/')) {
        expectation.kind = Expectation::Kind::Pattern;
        expectation.pattern = QRegularExpression(text.mid(1, text.size() - 2));
        if (!expectation.pattern.isValid()) {
            error = QStringLiteral("bad pattern: %1").arg(expectation.pattern.errorString());
            return false;
        }
        return true;
    }
    if (text.size() >= 2 && text.startsWith(u'"') && text.endsWith(u'"')) {
        expectation.kind = Expectation::Kind::Exact;
        if (!UnescapeBytes(text.mid(1, text.size() - 2), expectation.exact)) {
            error = QStringLiteral(
                    "bad quoted text: use \\r \\n \\t \\\" \\\\ or \\xHH, and characters 0 to 255");
            return false;
        }
        return true;
    }
    static const QRegularExpression numberRange(
            QStringLiteral("^number\\s+in\\s+\\[\\s*([^,\\s]+)\\s*,\\s*([^\\]\\s]+)\\s*\\]$"));
    const QRegularExpressionMatch range = numberRange.match(text);
    if (range.hasMatch()) {
        const auto low = ReadInstrumentNumber(range.captured(1).toLatin1());
        const auto high = ReadInstrumentNumber(range.captured(2).toLatin1());
        if (!low || !high || *low > *high) {
            error = QStringLiteral("a number range is [LOW, HIGH] with LOW <= HIGH");
            return false;
        }
        expectation.kind = Expectation::Kind::Number;
        expectation.low = *low;
        expectation.high = *high;
        return true;
    }
    if (text == u"ack") {
        expectation.kind = Expectation::Kind::Ack;
        return true;
    }
    if (text == u"nak") {
        expectation.kind = Expectation::Kind::Nak;
        return true;
    }
    if (text == u"nothing") {
        expectation.kind = Expectation::Kind::Nothing;
        return true;
    }
    error = QStringLiteral("expect takes /REGEX/, \"TEXT\", number in [A, B], ack, nak or nothing");
    return false;
}

// Parses one non-comment line into `step`; false with `error` when it is not a step.
bool parseStep(const QString &line, ScriptStep &step, QString &error)
{
    const QString trimmed = line.trimmed();
    const qsizetype blank = trimmed.indexOf(QRegularExpression(QStringLiteral("\\s")));
    const QString keyword = blank < 0 ? trimmed : trimmed.left(blank);
    const QString rest = blank < 0 ? QString() : trimmed.mid(blank).trimmed();
    using K = ScriptStep::Kind;

    if (keyword == u"port") {
        step.kind = K::Port;
        if (!readCount(rest, 1, kMaxComPort, step.number)) {
            error = QStringLiteral("unknown port \"%1\": ports are COM 1 to %2")
                            .arg(rest)
                            .arg(kMaxComPort);
            return false;
        }
        return true;
    }
    if (keyword == u"settings") {
        step.kind = K::Settings;
        step.settings = rest;
        if (rest.isEmpty()) {
            error = QStringLiteral("settings needs a text such as 9600,N,8,1");
            return false;
        }
        return true;
    }
    if (keyword == u"framing") {
        step.kind = K::Framing;
        const QStringList words = rest.split(u' ', Qt::SkipEmptyParts);
        if (words.value(0) == u"off" && words.size() == 1) {
            step.framing = ScriptStep::Framing::Off;
            return true;
        }
        if (words.value(0) == u"addr" || words.value(0) == u"packet") {
            step.framing
                    = words[0] == u"addr" ? ScriptStep::Framing::Addr : ScriptStep::Framing::Packet;
            if (words.size() == 1) {
                error = kMissingAddress;
                return false;
            }
            if (words.size() != 2 || !readCount(words[1], 0, kMaxAddress, step.number)) {
                error = QStringLiteral("a device address is a whole number from 0 to %1")
                                .arg(kMaxAddress);
                return false;
            }
            return true;
        }
        error = QStringLiteral("framing takes off, addr N or packet N");
        return false;
    }
    if (keyword == u"terminator") {
        step.kind = K::Terminator;
        step.addCR = rest == u"cr" || rest == u"crlf";
        step.addLF = rest == u"lf" || rest == u"crlf";
        if (rest != u"none" && !step.addCR && !step.addLF) {
            error = QStringLiteral("terminator takes lf, cr, crlf or none");
            return false;
        }
        return true;
    }
    if (keyword == u"prompt") {
        step.kind = K::Prompt;
        step.on = rest == u"on";
        if (rest != u"on" && rest != u"off") {
            error = QStringLiteral("prompt takes on or off");
            return false;
        }
        return true;
    }
    if (keyword == u"send" || keyword == u"query") {
        step.kind = keyword == u"send" ? K::Send : K::Query;
        if (rest.isEmpty()) {
            error = kNothingToSend;
            return false;
        }
        if (!FitsOnLine(rest)) {
            error = kOutsideLatin1;
            return false;
        }
        step.command = rest.toLatin1();
        return true;
    }
    if (keyword == u"send-raw" || keyword == u"query-raw") {
        step.kind = keyword == u"send-raw" ? K::Send : K::Query;
        step.raw = true;
        if (rest.isEmpty()) {
            error = kNothingToSend;
            return false;
        }
        if (!readHex(rest, step.command)) {
            error = QStringLiteral("%1 takes bytes in hexadecimal, such as 02 34 05").arg(keyword);
            return false;
        }
        return true;
    }
    if (keyword == u"expect") {
        step.kind = K::Expect;
        return parseExpectation(rest, step.expect, error);
    }
    if (keyword == u"wait") {
        step.kind = K::Wait;
        static const QRegularExpression duration(QStringLiteral("^(\\d{1,9})\\s*(ms|s)$"));
        const QRegularExpressionMatch match = duration.match(rest);
        const qint64 ms = match.hasMatch()
                ? match.captured(1).toLongLong() * (match.captured(2) == u"s" ? 1000 : 1)
                : -1;
        if (ms < 0 || ms > kMaxWaitMs) {
            error = QStringLiteral("wait takes a time such as 500 ms or 2 s, up to a day");
            return false;
        }
        step.number = int(ms);
        return true;
    }
    if (keyword == u"repeat") {
        step.kind = K::Repeat;
        if (!readCount(rest, 0, kMaxRepeat, step.number)) {
            error = QStringLiteral("repeat takes a count from 0 to %1").arg(kMaxRepeat);
            return false;
        }
        return true;
    }
    if (keyword == u"end" && rest.isEmpty()) {
        step.kind = K::End;
        return true;
    }
    error = QStringLiteral("unknown step \"%1\"").arg(keyword);
    return false;
}

} // namespace

QByteArray EscapedBytes(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size() + 2);
    out += '"';
    for (const char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (code >= 0x20 && code < 0x7F) {
                out += c;
            } else {
                out += "\\x";
                out += QByteArray::number(code, 16).rightJustified(2, '0').toUpper();
            }
        }
    }
    out += '"';
    return out;
}

bool UnescapeBytes(const QString &text, QByteArray &bytes)
{
    bytes.clear();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.unicode() > 0xFF)
            return false;
        if (c != u'\\') {
            bytes += char(c.unicode());
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text.at(i).unicode()) {
        case 'r':
            bytes += '\r';
            break;
        case 'n':
            bytes += '\n';
            break;
        case 't':
            bytes += '\t';
            break;
        case '"':
            bytes += '"';
            break;
        case '\\':
            bytes += '\\';
            break;
        case 'x': {
            const QString digits = text.mid(i + 1, 2);
            QByteArray code;
            if (digits.size() != 2 || !readHex(digits, code))
                return false;
            bytes += code;
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

CheckScript ParseCheckScript(const QByteArray &text)
{
    CheckScript script;
    const QStringList lines = QString::fromUtf8(text).split(u'\n');
    QList<qsizetype> openRepeats;
    bool portChosen = false;
    auto fail = [&script](int line, const QString &error) {
        script.steps.clear();
        script.errorLine = line;
        script.error = error;
        return script;
    };
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines.at(i);
        if (line.endsWith(u'\r'))
            line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#'))
            continue;
        ScriptStep step;
        step.line = int(i + 1);
        step.source = line;
        QString error;
        if (!parseStep(line, step, error))
            return fail(step.line, error);
        switch (step.kind) {
        case ScriptStep::Kind::Port:
            portChosen = true;
            break;
        case ScriptStep::Kind::Send:
        case ScriptStep::Kind::Query:
            if (!portChosen)
                return fail(
                        step.line, QStringLiteral("no port yet: a line \"port N\" comes first"));
            break;
        case ScriptStep::Kind::Repeat:
            openRepeats.append(script.steps.size());
            break;
        case ScriptStep::Kind::End:
            if (openRepeats.isEmpty())
                return fail(step.line, QStringLiteral("end without its repeat"));
            step.matchingIndex = int(openRepeats.takeLast());
            script.steps[step.matchingIndex].matchingIndex = int(script.steps.size());
            break;
        default:
            break;
        }
        script.steps.append(step);
    }
    if (!openRepeats.isEmpty())
        return fail(
                script.steps.at(openRepeats.last()).line, QStringLiteral("repeat without its end"));
    return script;
}

CheckVerdict CheckReply(const Expectation &expectation, const ReplyUnderCheck &reply)
{
    CheckVerdict verdict;
    if (!reply.read) {
        verdict.detail = QStringLiteral("no reply to check: nothing was read since the last send");
        return verdict;
    }
    switch (expectation.kind) {
    case Expectation::Kind::Pattern: {
        const QString shown = QString::fromLatin1(reply.shown);
        verdict.passed = expectation.pattern.match(shown).hasMatch();
        if (!verdict.passed)
            verdict.detail = QStringLiteral("expected /%1/, got %2")
                                     .arg(expectation.pattern.pattern(), quoted(reply.shown));
        break;
    }
    case Expectation::Kind::Exact:
        verdict.passed = reply.received == expectation.exact;
        if (!verdict.passed)
            verdict.detail = QStringLiteral("expected %1, got %2")
                                     .arg(quoted(expectation.exact), quoted(reply.received));
        break;
    case Expectation::Kind::Number: {
        const QByteArray value = replyValue(reply);
        const auto number = ReadInstrumentNumber(value);
        verdict.passed = number && *number >= expectation.low && *number <= expectation.high;
        if (!verdict.passed)
            verdict.detail = QStringLiteral("expected a number in [%1, %2], got %3")
                                     .arg(formatBound(expectation.low),
                                             formatBound(expectation.high), quoted(value));
        break;
    }
    case Expectation::Kind::Ack:
    case Expectation::Kind::Nak:
        verdict.detail = packetVerdict(reply.received,
                expectation.kind == Expectation::Kind::Ack ? ReplyPacket::Kind::Ack
                                                           : ReplyPacket::Kind::Nak);
        verdict.passed = verdict.detail.isEmpty();
        break;
    case Expectation::Kind::Nothing: {
        // The prompt is the interface's, not the device's: it says nothing about the reply.
        QByteArray said = reply.received;
        if (said.endsWith(Wire::Prompt))
            said.chop(1);
        verdict.passed = said.isEmpty();
        if (!verdict.passed)
            verdict.detail = QStringLiteral("expected nothing, got %1").arg(quoted(reply.received));
        break;
    }
    }
    return verdict;
}

QString StepTitle(const ScriptStep &step)
{
    return step.source.trimmed();
}
