#include "script/scriptrunner.h"

#include "line/exchange/deviceexchange.h"
#include "line/linemessages.h"
#include "line/port/serialcontrol.h"
#include "line/scan/identitysearch.h"
#include "line/serialsettings.h"
#include "line/session/linesession.h"
#include "protocol/checkscript.h"
#include "protocol/numericvalue.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostInfo>
#include <QStringList>
#include <QTimer>
#include <QXmlStreamWriter>

namespace {

// How a step is named on stdout and in the report: as written, its control characters spelled
// out.
QString stepName(const ScriptStep &step)
{
    return EscapeOutsideText(StepTitle(step));
}

// One step run, for the JUnit report.
struct StepRecord
{
    qsizetype index = 0; // of the step in the script
    int run = 1; // a step inside a repeat runs many times; each run is its own test case
    bool passed = true;
    bool error = false;
    QString detail;
    double seconds = 0;
};

LineSessionOptions sessionOptions(const ScriptRunOptions &run, IdentityResolver *resolver)
{
    LineSessionOptions options;
    options.reopen = run.reopen;
    options.recorder = run.recorder;
    options.identityResolver = resolver;
    return options;
}

class ScriptRunner
{
public:
    // `keepRecords` only for a report: a long run would otherwise hold every step in memory.
    ScriptRunner(const CheckScript &script, const ScriptRunOptions &options, std::FILE *out,
            std::FILE *err, bool keepRecords)
        : m_script(script),
          m_out(out),
          m_err(err),
          m_keepRecords(keepRecords),
          m_session(sessionOptions(options, &m_identitySearch)),
          m_line(m_session.port())
    {
        QObject::connect(&m_line, &SerialControl::failure,
                [this](const QString &message) { m_lineFailure = message; });
        QObject::connect(
                &m_line, &SerialControl::notice, [this](const QString &text) { tell(text); });
    }

    // False when the run stopped on an error.
    bool run()
    {
        ScriptWalk walk(m_script.steps);
        while (const std::optional<qsizetype> index = walk.next()) {
            m_running = *index;
            m_stepClock.start();
            if (!runStep(m_script.steps.at(*index)))
                return false;
        }
        if (!walk.boundReached())
            return true;
        // The reader refuses a script that would get here; the bound holds all the same.
        m_running = walk.position();
        return stop(m_script.steps.at(m_running),
                QStringLiteral("the run reached its bound of %1 steps")
                        .arg(ScriptLimits::MaxStepsRun));
    }

    const QList<StepRecord> &records() const { return m_records; }
    // What the line had to say that is no step's verdict, as the window's error box shows it.
    const QStringList &notices() const { return m_notices; }
    int stepsReported() const { return m_stepsReported; }
    int failed() const { return m_failed; }
    int firstFailureLine() const { return m_firstFailureLine; }
    int lastLine() const { return m_lastLine; }

private:
    bool runStep(const ScriptStep &step)
    {
        return std::visit(
                Overloaded{
                        [&](const PortStep &port) {
                            m_session.close();
                            m_session.setComPort(port.comPort);
                            return openPort(step);
                        },
                        [&](const SettingsStep &settings) {
                            m_lineSettings = settings.text;
                            // An open line takes them as it is where it can;
                            // otherwise, as the port window's Set does, by opening
                            // again.
                            if (!m_line.PortOpen() || m_line.applySettings(settings.text))
                                return true;
                            m_line.setPortOpen(false);
                            return openPort(step);
                        },
                        [&](const FramingStep &framing) {
                            m_settings.framing.protocol = framing.protocol;
                            if (framing.protocol != Framing::Protocol::Off) {
                                m_settings.framing.address = AddressCharacters(framing.address);
                                m_settings.addressSet = true;
                            }
                            return true;
                        },
                        [&](const TerminatorStep &terminator) {
                            m_settings.framing.addCR = terminator.addCR;
                            m_settings.framing.addLF = terminator.addLF;
                            return true;
                        },
                        [&](const PromptStep &prompt) {
                            m_settings.prompt = prompt.on;
                            return true;
                        },
                        [&](const SendStep &send) { return sendCommand(step, send); },
                        [&](const ExpectStep &expect) {
                            const CheckVerdict verdict = CheckReply(expect.expectation, m_last);
                            report(step, verdict.passed, verdict.detail);
                            return true;
                        },
                        [&](const WaitStep &wait) {
                            waitFor(step, wait.ms);
                            return true;
                        },
                        // The walk unrolls repeats; it never hands one over.
                        [](const RepeatStep &) { return true; },
                        [](const EndStep &) { return true; },
                },
                step.action);
    }

    bool openPort(const ScriptStep &step)
    {
        m_session.setSettings(m_lineSettings);
        m_lineFailure.clear();
        if (!m_session.open() && m_line.state() == SerialControl::State::Opening) {
            // A network line or a binding by identity is reached meanwhile; the run has nothing
            // else to do. Each has a bound of its own, and says how it ended.
            QEventLoop opening;
            QObject::connect(&m_line, &SerialControl::stateChanged, &opening, [&] {
                if (m_line.state() != SerialControl::State::Opening)
                    opening.quit();
            });
            opening.exec();
        }
        if (m_line.PortOpen()) {
            if (!m_line.openNotice().isEmpty())
                tell(m_line.openNotice());
            return true;
        }
        return stop(step, m_lineFailure);
    }

    bool sendCommand(const ScriptStep &step, const SendStep &send)
    {
        ExchangeSettings settings = m_settings;
        settings.readRequired = send.query;
        settings.unframed = send.raw;

        SendOutcome outcome;
        {
            LineSession::Turn turn(m_session);
            outcome = m_session.send(settings, send.command, ExchangeOrigin::Script);
        }
        if (outcome.refusal) {
            // A port that went away has said why, which says more than that it is not open.
            const bool lost = outcome.refusal->error == ExchangeError::PortClosedForSend
                    && !m_lineFailure.isEmpty();
            return stop(step, lost ? m_lineFailure : DescribeExchangeProblem(*outcome.refusal));
        }
        if (!outcome.written || !m_line.PortOpen()) {
            // What befell the reply before the line went is still news (a cut, above all); a
            // prompt that never came is only the loss again.
            QStringList said;
            for (const ExchangeProblem &problem : outcome.problems)
                if (problem.error != ExchangeError::PromptMissing)
                    said << DescribeExchangeProblem(problem);
            said << m_lineFailure;
            return stop(step, said.join(u' '));
        }

        m_last = ReplyUnderCheck();
        m_last.packetMode = settings.framing.protocol == Framing::Protocol::Packet;
        if (outcome.reply) {
            m_last.read = true;
            m_last.received = outcome.reply->wait.received;
            // "Rx buffer empty" is the box's word for no reply; a pattern must not find it.
            if (!m_last.received.isEmpty())
                m_last.shown = outcome.reply->display.results;
        }
        QStringList problems;
        for (const ExchangeProblem &problem : outcome.problems)
            problems << DescribeExchangeProblem(problem);
        report(step, problems.isEmpty(), problems.join(QStringLiteral(" ")));
        return true;
    }

    void waitFor(const ScriptStep &step, int ms)
    {
        // The event loop keeps running, so the line keeps taking what the device sends; a
        // sleep would leave it in the system's buffer.
        QEventLoop loop;
        QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
        report(step, true, QString());
    }

    // Each step is timed on its own clock: a check takes no time of the exchange before it,
    // and a step that stops the run has taken what it took until then.
    void report(const ScriptStep &step, bool passed, const QString &detail)
    {
        const qint64 ms = m_stepClock.elapsed();
        record(step, passed, false, detail, double(ms) / 1000.0);
        if (!passed && ++m_failed == 1)
            m_firstFailureLine = step.line;
        const QString text = passed
                ? QStringLiteral("PASS %1: %2 (%3 ms)").arg(step.line).arg(stepName(step)).arg(ms)
                : QStringLiteral("FAIL %1: %2").arg(step.line).arg(detail);
        print(text);
    }

    bool stop(const ScriptStep &step, const QString &message)
    {
        record(step, false, true, message, double(m_stepClock.elapsed()) / 1000.0);
        print(QStringLiteral("ERROR %1: %2").arg(step.line).arg(message));
        return false;
    }

    void record(
            const ScriptStep &step, bool passed, bool error, const QString &detail, double seconds)
    {
        ++m_stepsReported;
        m_lastLine = step.line;
        if (!m_keepRecords)
            return;
        m_records.append({m_running, ++m_runsOfStep[m_running], passed, error, detail, seconds});
    }

    void tell(const QString &notice)
    {
        m_notices << notice;
        std::fprintf(
                m_err, "quillon: %s\n", EscapeControlCharacters(notice).toLocal8Bit().constData());
        std::fflush(m_err);
    }

    void print(const QString &text)
    {
        // A script, a device or a system message may hold control characters; none reaches
        // the terminal raw.
        std::fputs(EscapeControlCharacters(text).toLocal8Bit().constData(), m_out);
        std::fputc('\n', m_out);
        // Lines appear as the steps end, so a watcher sees where a long run stands.
        std::fflush(m_out);
    }

    const CheckScript &m_script;
    std::FILE *m_out;
    std::FILE *m_err;
    const bool m_keepRecords;
    IdentitySearch m_identitySearch;
    LineSession m_session;
    SerialControl &m_line;
    ExchangeSettings m_settings;
    QString m_lineSettings = SerialSettings().text();
    QString m_lineFailure;
    ReplyUnderCheck m_last;
    QElapsedTimer m_stepClock;
    qsizetype m_running = 0; // index of the step being run
    int m_stepsReported = 0;
    int m_failed = 0;
    int m_firstFailureLine = 0;
    int m_lastLine = 0;
    QList<StepRecord> m_records;
    QStringList m_notices;
    QHash<qsizetype, int> m_runsOfStep;
};

// The rules of a script that the line owns: the settings text, and what a send refuses.
QString lineRuleBroken(const ScriptStep &step)
{
    if (const auto *settings = std::get_if<SettingsStep>(&step.action);
            settings && !SerialSettings::parse(settings->text))
        return QStringLiteral("bad settings \"%1\": write them as %2")
                .arg(settings->text, SerialSettings().text());
    if (const auto *send = std::get_if<SendStep>(&step.action)) {
        // A script's framing always carries its address, so only the command can be refused.
        ExchangeSettings settings;
        settings.addressSet = true;
        if (const auto refused = DeviceExchange::commandRefusal(settings, send->command))
            return DescribeExchangeProblem({*refused});
    }
    return QString();
}

// The report in the form of Ant's JUnit schema, which CI servers read: every attribute and
// element it requires, none it does not know. Case names sort in the order of the script in a
// viewer that sorts them as text: line and run numbers are padded to one width.
QByteArray junitReport(const QString &suiteName, const QDateTime &startedAt,
        const CheckScript &script, const QList<StepRecord> &records, const QStringList &notices,
        double seconds)
{
    int failures = 0;
    int errors = 0;
    int mostRuns = 1;
    for (const StepRecord &record : records) {
        failures += !record.passed && !record.error;
        errors += record.error;
        mostRuns = qMax(mostRuns, record.run);
    }
    const int lineWidth
            = script.steps.isEmpty() ? 1 : int(QString::number(script.steps.last().line).size());
    const int runWidth = int(QString::number(mostRuns).size());
    const QString time = QStringLiteral("time");
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("testsuites"));
    writer.writeStartElement(QStringLiteral("testsuite"));
    writer.writeAttribute(QStringLiteral("name"), suiteName);
    writer.writeAttribute(QStringLiteral("package"), QStringLiteral("quillon"));
    writer.writeAttribute(QStringLiteral("id"), QStringLiteral("0"));
    // The schema's timestamp has no zone: the time in UTC says it without one.
    writer.writeAttribute(QStringLiteral("timestamp"),
            startedAt.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
    writer.writeAttribute(
            QStringLiteral("hostname"), EscapeOutsideText(QHostInfo::localHostName()));
    writer.writeAttribute(QStringLiteral("tests"), QString::number(records.size()));
    writer.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    writer.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    writer.writeAttribute(time, QString::number(seconds, 'f', 3));
    writer.writeEmptyElement(QStringLiteral("properties"));
    for (const StepRecord &record : records) {
        writer.writeStartElement(QStringLiteral("testcase"));
        const ScriptStep &step = script.steps.at(record.index);
        QString name = QStringLiteral("line %1: %2")
                               .arg(step.line, lineWidth, 10, QLatin1Char('0'))
                               .arg(stepName(step));
        if (record.run > 1)
            name += QStringLiteral(" (run %1)").arg(record.run, runWidth, 10, QLatin1Char('0'));
        writer.writeAttribute(QStringLiteral("name"), name);
        writer.writeAttribute(QStringLiteral("classname"), suiteName);
        writer.writeAttribute(time, QString::number(record.seconds, 'f', 3));
        if (!record.passed) {
            const QString detail = EscapeControlCharacters(record.detail);
            writer.writeStartElement(
                    record.error ? QStringLiteral("error") : QStringLiteral("failure"));
            writer.writeAttribute(QStringLiteral("message"), detail);
            writer.writeAttribute(QStringLiteral("type"),
                    record.error ? QStringLiteral("stopped") : QStringLiteral("check"));
            writer.writeCharacters(detail);
            writer.writeEndElement();
        }
        writer.writeEndElement();
    }
    writer.writeTextElement(QStringLiteral("system-out"), QString());
    QStringList shown;
    for (const QString &notice : notices)
        shown << EscapeControlCharacters(notice);
    writer.writeTextElement(QStringLiteral("system-err"), shown.join(u'\n'));
    writer.writeEndElement();
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

} // namespace

CheckScript ReadCheckScript(const QByteArray &text)
{
    return ParseCheckScript(text, lineRuleBroken);
}

int RunCheckScript(const ScriptRunOptions &options, std::FILE *out, std::FILE *err)
{
    const QByteArray path = EscapeOutsideText(options.scriptPath).toLocal8Bit();
    QFile file(options.scriptPath);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(err, "quillon: cannot read the script %s: %s\n", path.constData(),
                qPrintable(file.errorString()));
        return ScriptStopped;
    }
    const QByteArray text = file.read(ScriptLimits::MaxScriptBytes + 1);
    if (text.size() > ScriptLimits::MaxScriptBytes) {
        std::fprintf(err, "quillon: cannot read the script %s: it is larger than %lld bytes\n",
                path.constData(), static_cast<long long>(ScriptLimits::MaxScriptBytes));
        return ScriptStopped;
    }
    const CheckScript script = ReadCheckScript(text);
    if (!script.ok()) {
        for (const ScriptError &error : script.errors) {
            const QByteArray message = EscapeOutsideText(error.message).toLocal8Bit();
            std::fprintf(
                    err, "quillon: %s:%d: %s\n", path.constData(), error.line, message.constData());
            std::fprintf(out, "ERROR %d: %s\n", error.line, message.constData());
        }
        if (const qsizetype more = script.errorCount - script.errors.size(); more > 0) {
            std::fprintf(err, "quillon: %s: %lld more errors\n", path.constData(),
                    static_cast<long long>(more));
            std::fprintf(out, "ERROR: %lld more errors\n", static_cast<long long>(more));
        }
        return ScriptStopped;
    }

    // The report file is opened before the first step, so a run is not wasted on a report
    // that cannot be written.
    QFile report(options.junitPath);
    if (!options.junitPath.isEmpty()
            && !report.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        std::fprintf(err, "quillon: cannot write the report to %s: %s\n",
                qPrintable(options.junitPath), qPrintable(report.errorString()));
        return ScriptStopped;
    }

    QElapsedTimer clock;
    clock.start();
    const QDateTime startedAt = QDateTime::currentDateTime();
    ScriptRunner runner(script, options, out, err, report.isOpen());
    const bool finished = runner.run();
    const double seconds = double(clock.elapsed()) / 1000.0;

    const int steps = runner.stepsReported();
    QString summary;
    int status = ScriptPassed;
    if (!finished) {
        summary = QStringLiteral("ERROR: the run stopped at line %1 after %2 steps, %3 failed")
                          .arg(runner.lastLine())
                          .arg(steps - 1)
                          .arg(runner.failed());
        status = ScriptStopped;
    } else if (runner.failed() > 0) {
        summary = QStringLiteral("FAIL: %1 of %2 steps failed, the first at line %3")
                          .arg(runner.failed())
                          .arg(steps)
                          .arg(runner.firstFailureLine());
        status = ScriptFailed;
    } else {
        summary = QStringLiteral("PASS: %1 steps, none failed").arg(steps);
    }
    summary += QStringLiteral(" (%1 s)").arg(seconds, 0, 'f', 2);
    std::fprintf(out, "%s\n", summary.toLocal8Bit().constData());
    std::fflush(out);

    if (report.isOpen()) {
        const QByteArray xml = junitReport(QFileInfo(options.scriptPath).fileName(), startedAt,
                script, runner.records(), runner.notices(), seconds);
        if (report.write(xml) != xml.size() || !report.flush()) {
            std::fprintf(err, "quillon: cannot write the report to %s: %s\n",
                    qPrintable(options.junitPath), qPrintable(report.errorString()));
            return ScriptStopped;
        }
    }
    return status;
}
