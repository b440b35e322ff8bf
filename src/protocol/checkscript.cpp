#include "checkscript.h"

#include "escapedbytes.h"
#include "framing.h"
#include "numericvalue.h"
#include "replynumber.h"
#include "replyreading.h"

#include <QHash>
#include <QStringList>

#include <algorithm>

namespace {

constexpr int kMaxComPort = Wire::ComPorts;

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

// A word of the language and the value it stands for, read and written through one table.
template<typename T>
struct Named
{
    const char *word;
    T value;
};

template<typename T, size_t N>
std::optional<T> valueNamed(const Named<T> (&table)[N], QStringView word)
{
    for (const Named<T> &named : table)
        if (word == QLatin1StringView(named.word))
            return named.value;
    return std::nullopt;
}

template<typename T, size_t N>
QString wordFor(const Named<T> (&table)[N], const T &value)
{
    for (const Named<T> &named : table)
        if (named.value == value)
            return QLatin1StringView(named.word);
    return QString();
}

// "a, b or c", for the message that lists what a keyword takes.
template<typename T, size_t N>
QString alternatives(const Named<T> (&table)[N])
{
    QString text;
    for (size_t i = 0; i < N; ++i)
        text += (i == 0 ? "" : i + 1 == N ? " or " : ", ") + QLatin1StringView(table[i].word);
    return text;
}

constexpr Named<Framing::Protocol> kProtocols[]
        = {{kFramingWords[0].scriptWord, kFramingWords[0].protocol},
                {kFramingWords[1].scriptWord, kFramingWords[1].protocol},
                {kFramingWords[2].scriptWord, kFramingWords[2].protocol}};
constexpr Named<std::pair<bool, bool>> kTerminators[] = {{"lf", {false, true}},
        {"cr", {true, false}}, {"crlf", {true, true}}, {"none", {false, false}}};
constexpr Named<bool> kSwitch[] = {{"on", true}, {"off", false}};
constexpr Named<Expectation::Kind> kVerdicts[] = {{"ack", Expectation::Kind::Ack},
        {"nak", Expectation::Kind::Nak}, {"nothing", Expectation::Kind::Nothing}};
constexpr Named<int> kTimeUnits[] = {{"ms", 1}, {"s", 1000}};

// What one reading of a script keeps from line to line: each pattern compiled once, however
// many lines check for it, so that a long script costs its length and no more.
struct Reading
{
    QHash<QString, QRegularExpression> patterns;
};

// Reads what follows a keyword into `action`; false when it does not fit. `error` may say more
// than the keyword's usage does.
using ArgumentReader
        = bool (*)(const QString &rest, StepAction &action, QString &error, Reading &reading);

enum class KeywordId {
    Port,
    Settings,
    Framing,
    Terminator,
    Prompt,
    Send,
    Query,
    SendRaw,
    QueryRaw,
    Expect,
    Wait,
    Repeat,
    End
};

struct Keyword
{
    KeywordId id;
    const char *word;
    QString (*takes)(); // what may follow the word, for the message when it does not
    ArgumentReader read;
};

bool readExpectation(const QString &text, StepAction &action, QString &error, Reading &reading)
{
    Expectation expectation;
    if (text.size() >= 2 && text.startsWith(u'/') && text.endsWith(u'/')) {
        expectation.kind = Expectation::Kind::Pattern;
        const QString pattern = text.mid(1, text.size() - 2);
        const auto known = reading.patterns.constFind(pattern);
        if (known != reading.patterns.cend()) {
            expectation.pattern = *known;
        } else {
            expectation.pattern = QRegularExpression(pattern);
            // Compiled here, once: a copy shares the compiled form.
            expectation.pattern.optimize();
            reading.patterns.insert(pattern, expectation.pattern);
        }
        if (!expectation.pattern.isValid()) {
            error = QStringLiteral("bad pattern: %1").arg(expectation.pattern.errorString());
            return false;
        }
    } else if (text.size() >= 2 && text.startsWith(u'"') && text.endsWith(u'"')) {
        expectation.kind = Expectation::Kind::Exact;
        if (!UnescapeBytes(text.mid(1, text.size() - 2), expectation.exact)) {
            error = QStringLiteral(
                    "bad quoted text: use \\r \\n \\t \\\" \\\\ or \\xHH, and characters 0 to 255");
            return false;
        }
    } else if (const auto verdict = valueNamed(kVerdicts, text)) {
        expectation.kind = *verdict;
    } else {
        static const QRegularExpression numberRange(
                QStringLiteral("^number\\s+in\\s+\\[\\s*([^,\\s]+)\\s*,\\s*([^\\]\\s]+)\\s*\\]$"));
        const QRegularExpressionMatch range = numberRange.match(text);
        if (!range.hasMatch())
            return false;
        const auto low = ReadInstrumentNumber(range.captured(1).toLatin1());
        const auto high = ReadInstrumentNumber(range.captured(2).toLatin1());
        if (!low || !high || *low > *high) {
            error = QStringLiteral("a number range is [LOW, HIGH] with LOW <= HIGH");
            return false;
        }
        expectation.kind = Expectation::Kind::Number;
        expectation.low = *low;
        expectation.high = *high;
    }
    action = ExpectStep{expectation};
    return true;
}

template<bool query, bool raw>
bool readSend(const QString &rest, StepAction &action, QString &, Reading &)
{
    SendStep step{rest, raw, query};
    if (raw) {
        QByteArray bytes;
        if (!readHex(rest, bytes))
            return false;
        step.command = QString::fromLatin1(bytes);
    }
    // Nothing to send, or a character no byte carries, is the exchange's to refuse.
    action = step;
    return true;
}

QString takesBytes()
{
    return QStringLiteral("bytes in hexadecimal, such as 02 34 05");
}

// The language. Parsing, the messages about a bad line and the writing of a script all go by
// this table and the smaller ones above.
const Keyword kKeywords[] = {
        {KeywordId::Port, "port",
                [] { return QStringLiteral("a COM port from 1 to %1").arg(kMaxComPort); },
                [](const QString &rest, StepAction &action, QString &, Reading &) {
                    PortStep step;
                    if (!readCount(rest, 1, kMaxComPort, step.comPort))
                        return false;
                    action = step;
                    return true;
                }},
        {KeywordId::Settings, "settings", [] { return QString(); },
                [](const QString &rest, StepAction &action, QString &, Reading &) {
                    action = SettingsStep{rest};
                    return true;
                }},
        {KeywordId::Framing, "framing",
                [] {
                    return QStringLiteral("%1, %2 N or %3 N, with N from %4 to %5")
                            .arg(wordFor(kProtocols, Framing::Protocol::Off),
                                    wordFor(kProtocols, Framing::Protocol::Addr),
                                    wordFor(kProtocols, Framing::Protocol::Packet))
                            .arg(Wire::MinAddress)
                            .arg(Wire::MaxAddress);
                },
                [](const QString &rest, StepAction &action, QString &, Reading &) {
                    const QStringList words = rest.split(u' ', Qt::SkipEmptyParts);
                    const auto protocol = valueNamed(kProtocols, words.value(0));
                    FramingStep step{protocol.value_or(Framing::Protocol::Off)};
                    const bool off = protocol == Framing::Protocol::Off;
                    if (!protocol || words.size() != (off ? 1 : 2)
                            || (!off
                                    && !readCount(words[1], Wire::MinAddress, Wire::MaxAddress,
                                            step.address)))
                        return false;
                    action = step;
                    return true;
                }},
        {KeywordId::Terminator, "terminator", [] { return alternatives(kTerminators); },
                [](const QString &rest, StepAction &action, QString &, Reading &) {
                    const auto ends = valueNamed(kTerminators, rest);
                    if (ends)
                        action = TerminatorStep{ends->first, ends->second};
                    return ends.has_value();
                }},
        {KeywordId::Prompt, "prompt", [] { return alternatives(kSwitch); },
                [](const QString &rest, StepAction &action, QString &, Reading &) {
                    const auto on = valueNamed(kSwitch, rest);
                    if (on)
                        action = PromptStep{*on};
                    return on.has_value();
                }},
        {KeywordId::Send, "send", [] { return QString(); }, readSend<false, false>},
        {KeywordId::Query, "query", [] { return QString(); }, readSend<true, false>},
        {KeywordId::SendRaw, "send-raw", takesBytes, readSend<false, true>},
        {KeywordId::QueryRaw, "query-raw", takesBytes, readSend<true, true>},
        {KeywordId::Expect, "expect",
                [] {
                    return QStringLiteral("/REGEX/, \"TEXT\", number in [A, B], ")
                            + alternatives(kVerdicts);
                },
                readExpectation},
        {KeywordId::Wait, "wait",
                [] {
                    return QStringLiteral("a time such as 500 ms or 2 s, up to %1 s")
                            .arg(ScriptLimits::MaxWaitMs / 1000);
                },
                [](const QString &rest, StepAction &action, QString &, Reading &) {
                    static const QRegularExpression duration(
                            QStringLiteral("^(\\d{1,9})\\s*(\\w+)$"));
                    const QRegularExpressionMatch match = duration.match(rest);
                    const auto unit = valueNamed(kTimeUnits, match.captured(2));
                    const qint64 ms = match.hasMatch() && unit
                            ? match.captured(1).toLongLong() * *unit
                            : -1;
                    if (ms < 0 || ms > ScriptLimits::MaxWaitMs)
                        return false;
                    action = WaitStep{int(ms)};
                    return true;
                }},
        {KeywordId::Repeat, "repeat",
                [] { return QStringLiteral("a count from 0 to %1").arg(ScriptLimits::MaxRepeat); },
                [](const QString &rest, StepAction &action, QString &, Reading &) {
                    // A repeat whose count is bad still opens a block, and a bad end still
                    // closes one, so that one mistake is not reported twice.
                    RepeatStep step;
                    const bool counted = readCount(rest, 0, ScriptLimits::MaxRepeat, step.count);
                    action = step;
                    return counted;
                }},
        {KeywordId::End, "end", [] { return QStringLiteral("nothing"); },
                [](const QString &rest, StepAction &action, QString &, Reading &) {
                    action = EndStep();
                    return rest.isEmpty();
                }},
};

const Keyword *keywordNamed(QStringView word)
{
    for (const Keyword &keyword : kKeywords)
        if (word == QLatin1StringView(keyword.word))
            return &keyword;
    return nullptr;
}

QString wordOf(KeywordId id)
{
    for (const Keyword &keyword : kKeywords)
        if (keyword.id == id)
            return QLatin1StringView(keyword.word);
    Q_UNREACHABLE();
}

// Reads one non-comment line into `action`; false with `error` when it is not a step.
bool readStep(const QString &trimmed, StepAction &action, QString &error, Reading &reading)
{
    const auto blank
            = std::find_if(trimmed.begin(), trimmed.end(), [](QChar c) { return c.isSpace(); });
    const qsizetype at = blank == trimmed.end() ? -1 : blank - trimmed.begin();
    const QString word = at < 0 ? trimmed : trimmed.left(at);
    const QString rest = at < 0 ? QString() : trimmed.mid(at).trimmed();
    const Keyword *keyword = keywordNamed(word);
    if (!keyword) {
        error = QStringLiteral("unknown step \"%1\"").arg(word);
        return false;
    }
    if (keyword->read(rest, action, error, reading))
        return true;
    if (error.isEmpty())
        error = QStringLiteral("%1 takes %2").arg(word, keyword->takes());
    return false;
}

// Keeps the errors of one reading: every one counted, the first few by line kept.
class ErrorList
{
public:
    void add(int line, const QString &message)
    {
        ++m_count;
        if (m_kept.size() < ScriptLimits::MaxReportedErrors)
            m_kept.append({line, message});
    }
    // One that names an earlier line than the errors before it (a repeat left open, a run too
    // long) may take the place of a later one.
    void addOutOfOrder(int line, const QString &message)
    {
        ++m_count;
        if (m_late.size() <= ScriptLimits::MaxReportedErrors)
            m_late.append({line, message});
    }
    int count() const { return m_count; }
    void finish(CheckScript &script)
    {
        script.errors = m_kept + m_late;
        std::stable_sort(script.errors.begin(), script.errors.end(),
                [](const ScriptError &a, const ScriptError &b) { return a.line < b.line; });
        if (script.errors.size() > ScriptLimits::MaxReportedErrors)
            script.errors.resize(ScriptLimits::MaxReportedErrors);
        script.errorCount = m_count;
    }

private:
    QList<ScriptError> m_kept;
    QList<ScriptError> m_late;
    int m_count = 0;
};

} // namespace

CheckScript ParseCheckScript(const QByteArray &text, const StepCheck &check)
{
    using ScriptLimits::MaxNesting;
    using ScriptLimits::MaxStepsRun;
    CheckScript script;
    ErrorList errors;
    Reading reading;
    // The repeats open at this line, outermost first, each with the passes its body runs: the
    // product of its count and those around it.
    struct Open
    {
        qsizetype index;
        int line;
        qint64 passes;
    };
    QList<Open> open;
    bool portChosen = false;
    bool tooDeepReported = false;
    bool tooLongReported = false;
    const QString whole = QString::fromUtf8(text);
    int lineNumber = 0;
    for (qsizetype start = 0; start <= whole.size();) {
        const qsizetype newline = whole.indexOf(u'\n', start);
        const qsizetype lineEnd = newline < 0 ? whole.size() : newline;
        QStringView line = QStringView(whole).mid(start, lineEnd - start);
        start = lineEnd + 1;
        ++lineNumber;
        if (line.endsWith(u'\r'))
            line.chop(1);
        const QString trimmed = line.trimmed().toString();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#'))
            continue;
        ScriptStep step{lineNumber, line.toString(), StepAction()};
        QString error;
        const bool read = readStep(trimmed, step.action, error, reading);
        if (read && check)
            error = check(step);
        if (read && error.isEmpty() && std::holds_alternative<SendStep>(step.action) && !portChosen)
            error = QStringLiteral("no port yet: a line \"port N\" comes first");
        if (!error.isEmpty())
            errors.add(step.line, error);
        portChosen |= read && std::holds_alternative<PortStep>(step.action);
        // A script with an error never runs, so its steps are no longer kept: only how they
        // nest is, so that each bad line is reported once.
        const bool keep = errors.count() == 0;

        // Passes through the steps are counted as the walk of a run will count them.
        const qint64 around = open.isEmpty() ? 1 : open.last().passes;
        if (const auto *repeat = std::get_if<RepeatStep>(&step.action)) {
            if (open.size() == MaxNesting && !tooDeepReported)
                errors.add(step.line,
                        QStringLiteral("repeats nest more than %1 deep").arg(MaxNesting));
            tooDeepReported = open.size() >= MaxNesting;
            // Held just above the bound; below it the product cannot overflow.
            open.append({script.steps.size(), step.line,
                    qMin(around * repeat->count, MaxStepsRun + 1)});
        } else if (auto *closing = std::get_if<EndStep>(&step.action)) {
            if (open.isEmpty()) {
                errors.add(step.line, QStringLiteral("end without its repeat"));
                continue;
            }
            const Open closed = open.takeLast();
            script.stepsRun += closed.passes;
            if (keep) {
                closing->repeatIndex = closed.index;
                std::get<RepeatStep>(script.steps[closed.index].action).endIndex
                        = script.steps.size();
            }
        } else {
            script.stepsRun += around;
        }
        script.stepsRun = qMin(script.stepsRun, MaxStepsRun + 1);
        if (script.stepsRun > MaxStepsRun && !tooLongReported) {
            tooLongReported = true;
            errors.addOutOfOrder(open.isEmpty() ? step.line : open.first().line,
                    QStringLiteral("the script would run more than %1 steps, a pass of a repeat "
                                   "counted as one")
                            .arg(MaxStepsRun));
        }
        if (keep && errors.count() == 0)
            script.steps.append(step);
    }
    for (const Open &unclosed : open)
        errors.addOutOfOrder(unclosed.line, QStringLiteral("repeat without its end"));
    errors.finish(script);
    if (!script.ok())
        script.steps.clear();
    return script;
}

QString ScriptLine(const StepAction &action)
{
    const auto line = [](KeywordId id, const QString &rest = QString()) {
        return rest.isEmpty() ? wordOf(id) : wordOf(id) + u' ' + rest;
    };
    return std::visit(
            Overloaded{
                    [&](const PortStep &step) {
                        return line(KeywordId::Port, QString::number(step.comPort));
                    },
                    [&](const SettingsStep &step) { return line(KeywordId::Settings, step.text); },
                    [&](const FramingStep &step) {
                        QString rest = wordFor(kProtocols, step.protocol);
                        if (step.protocol != Framing::Protocol::Off)
                            rest += u' ' + QString::number(step.address);
                        return line(KeywordId::Framing, rest);
                    },
                    [&](const TerminatorStep &step) {
                        return line(KeywordId::Terminator,
                                wordFor(kTerminators, std::pair{step.addCR, step.addLF}));
                    },
                    [&](const PromptStep &step) {
                        return line(KeywordId::Prompt, wordFor(kSwitch, step.on));
                    },
                    [&](const SendStep &step) {
                        if (step.raw)
                            return line(step.query ? KeywordId::QueryRaw : KeywordId::SendRaw,
                                    QString::fromLatin1(
                                            step.command.toLatin1().toHex(' ').toUpper()));
                        return line(step.query ? KeywordId::Query : KeywordId::Send, step.command);
                    },
                    [&](const ExpectStep &step) {
                        const Expectation &expected = step.expectation;
                        switch (expected.kind) {
                        case Expectation::Kind::Pattern:
                            return line(
                                    KeywordId::Expect, u'/' + expected.pattern.pattern() + u'/');
                        case Expectation::Kind::Exact:
                            return line(KeywordId::Expect,
                                    QString::fromLatin1(EscapedBytes(expected.exact)));
                        case Expectation::Kind::Number:
                            return line(KeywordId::Expect,
                                    QStringLiteral("number in [%1, %2]")
                                            .arg(QString::number(expected.low, 'g', 17),
                                                    QString::number(expected.high, 'g', 17)));
                        default:
                            return line(KeywordId::Expect, wordFor(kVerdicts, expected.kind));
                        }
                    },
                    [&](const WaitStep &step) {
                        return line(KeywordId::Wait,
                                QString::number(step.ms) + u' ' + wordFor(kTimeUnits, 1));
                    },
                    [&](const RepeatStep &step) {
                        return line(KeywordId::Repeat, QString::number(step.count));
                    },
                    [&](const EndStep &) { return line(KeywordId::End); },
            },
            action);
}

ScriptWalk::ScriptWalk(const QList<ScriptStep> &steps, qint64 bound)
    : m_steps(steps), m_bound(bound)
{ }

bool ScriptWalk::take()
{
    if (m_taken >= m_bound) {
        m_boundReached = true;
        return false;
    }
    ++m_taken;
    return true;
}

std::optional<qsizetype> ScriptWalk::next()
{
    while (!m_boundReached && m_index < m_steps.size()) {
        const StepAction &action = m_steps.at(m_index).action;
        if (const auto *repeat = std::get_if<RepeatStep>(&action)) {
            if (repeat->count == 0)
                m_index = repeat->endIndex + 1;
            else
                m_loops.append({m_index++, repeat->count});
        } else if (std::holds_alternative<EndStep>(action)) {
            if (!take())
                break;
            Loop &loop = m_loops.last();
            if (--loop.passesLeft > 0) {
                m_index = loop.repeatIndex + 1;
            } else {
                m_loops.removeLast();
                ++m_index;
            }
        } else {
            if (!take())
                break;
            return m_index++;
        }
    }
    return std::nullopt;
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
        const ReplyReading reading = ReadReply(reply.received,
                reply.packetMode ? Framing::Protocol::Packet : Framing::Protocol::Off);
        const auto &number = reading.number;
        verdict.passed = number && *number >= expectation.low && *number <= expectation.high;
        // A refused or damaged packet says so: its payload may well read as a number.
        const QString got = reading.packet.kind == ReplyPacket::Kind::Nak
                ? QStringLiteral("a NAK packet with ")
                : reading.packet.kind == ReplyPacket::Kind::Ack && !reading.packetVerified()
                ? QStringLiteral("an unverified ACK packet with ")
                : QString();
        if (!verdict.passed)
            verdict.detail
                    = QStringLiteral("expected a number in [%1, %2], got %3%4")
                              .arg(formatBound(expectation.low), formatBound(expectation.high), got,
                                      quoted(reading.text));
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
