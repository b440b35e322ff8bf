#include "scriptrunner.h"

#include "line/deviceexchange.h"
#include "line/linemessages.h"
#include "line/linerecorder.h"
#include "line/linewait.h"
#include "line/serialcontrol.h"
#include "line/serialsettings.h"
#include "protocol/checkscript.h"
#include "protocol/numericvalue.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTimer>
#include <QXmlStreamWriter>

namespace {

struct StepRecord
{
    int line = 0;
    QString name;
    bool passed = true;
    bool error = false;
    QString detail;
    double seconds = 0;
};

class ScriptRunner
{
public:
    ScriptRunner(const CheckScript &script, LineRecorder *recorder, std::FILE *out)
        : m_script(script), m_out(out), m_recorder(recorder)
    {
        m_line.setRecorder(recorder);
        QObject::connect(&m_line, &SerialControl::failure,
                [this](const QString &message) { m_lineFailure = message; });
    }

    // False when the run stopped on an error.
    bool run() { return runRange(0, int(m_script.steps.size())); }

    const QList<StepRecord> &records() const { return m_records; }

private:
    bool runRange(int from, int to)
    {
        for (int i = from; i < to; ++i) {
            const ScriptStep &step = m_script.steps.at(i);
            if (step.kind == ScriptStep::Kind::Repeat) {
                for (int pass = 0; pass < step.number; ++pass)
                    if (!runRange(i + 1, step.matchingIndex))
                        return false;
                i = step.matchingIndex;
                continue;
            }
            if (!runStep(step))
                return false;
        }
        return true;
    }

    bool runStep(const ScriptStep &step)
    {
        using K = ScriptStep::Kind;
        switch (step.kind) {
        case K::Port:
            m_line.setPortOpen(false);
            m_line.setCommPort(step.number);
            return openPort(step);
        case K::Settings:
            m_lineSettings = step.settings;
            // A port already open takes the new settings as the port window's Set does: by
            // opening again.
            if (m_line.PortOpen()) {
                m_line.setPortOpen(false);
                return openPort(step);
            }
            return true;
        case K::Framing:
            m_settings.addrMode = step.framing == ScriptStep::Framing::Addr;
            m_settings.packetMode = step.framing == ScriptStep::Framing::Packet;
            if (step.framing != ScriptStep::Framing::Off)
                m_settings.devAddr = EncodeAddress(QString::number(step.number)).devAddr.toLatin1();
            return true;
        case K::Terminator:
            m_settings.addCR = step.addCR;
            m_settings.addLF = step.addLF;
            return true;
        case K::Prompt:
            m_settings.prompt = step.on;
            return true;
        case K::Send:
        case K::Query:
            return exchange(step);
        case K::Expect:
            check(step);
            return true;
        case K::Wait:
            wait(step);
            return true;
        case K::Repeat:
        case K::End:
            return true;
        }
        return true;
    }

    bool openPort(const ScriptStep &step)
    {
        m_line.setSettings(m_lineSettings);
        m_lineFailure.clear();
        if (m_line.setPortOpen(true))
            return true;
        return stop(step, m_lineFailure);
    }

    bool exchange(const ScriptStep &step)
    {
        if (!m_line.PortOpen())
            return stop(step,
                    m_lineFailure.isEmpty() ? PortNotOpenMessage(QStringLiteral("nothing was sent"))
                                            : m_lineFailure);
        ExchangeSettings settings = m_settings;
        settings.readRequired = step.kind == ScriptStep::Kind::Query;
        settings.unframed = step.raw;

        QElapsedTimer clock;
        clock.start();
        SendOutcome outcome;
        {
            LineWait::Exchange held(m_wait);
            m_exchange.discardStale();
            outcome = m_exchange.send(settings, step.command);
        }
        m_lastMs = clock.elapsed();
        if (!outcome.written || !m_line.PortOpen())
            return stop(step, m_lineFailure);

        QStringList problems;
        m_last = ReplyUnderCheck();
        m_last.packetMode = settings.packetMode;
        if (outcome.reply) {
            if (m_recorder)
                m_recorder->replyRead(m_line.CommPort(), QString::fromLatin1(step.command),
                        outcome.reply->wait.received);
            m_last.read = true;
            m_last.received = outcome.reply->wait.received;
            // "Rx buffer empty" is the box's word for no reply; a pattern must not find it.
            if (!m_last.received.isEmpty())
                m_last.shown = outcome.reply->display.results;
            if (outcome.reply->wait.promptMissing)
                problems << PromptMissingMessage();
            if (outcome.reply->droppedBefore > 0)
                problems << InputOverflowMessage(outcome.reply->droppedBefore);
        } else if (outcome.promptMissing) {
            problems << PromptMissingMessage();
        }
        report(step, problems.isEmpty(), problems.join(QStringLiteral(" ")), m_lastMs);
        return true;
    }

    void check(const ScriptStep &step)
    {
        const CheckVerdict verdict = CheckReply(step.expect, m_last);
        report(step, verdict.passed, verdict.detail, m_lastMs);
    }

    void wait(const ScriptStep &step)
    {
        // The event loop keeps running, so the line keeps taking what the device sends; a
        // sleep would leave it in the system's buffer.
        QElapsedTimer clock;
        clock.start();
        QEventLoop loop;
        QTimer::singleShot(step.number, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
        report(step, true, QString(), clock.elapsed());
    }

    void report(const ScriptStep &step, bool passed, const QString &detail, qint64 ms)
    {
        StepRecord record = newRecord(step);
        record.passed = passed;
        record.detail = detail;
        record.seconds = double(ms) / 1000.0;
        m_records.append(record);
        const QString text = passed
                ? QStringLiteral("PASS %1: %2 (%3 ms)").arg(step.line).arg(StepTitle(step)).arg(ms)
                : QStringLiteral("FAIL %1: %2").arg(step.line).arg(detail);
        print(text);
    }

    bool stop(const ScriptStep &step, const QString &message)
    {
        StepRecord record = newRecord(step);
        record.passed = false;
        record.error = true;
        record.detail = message;
        m_records.append(record);
        print(QStringLiteral("ERROR %1: %2").arg(step.line).arg(message));
        return false;
    }

    StepRecord newRecord(const ScriptStep &step)
    {
        StepRecord record;
        record.line = step.line;
        // A step inside a repeat runs many times; each run is its own test case.
        const int run = ++m_runsOfLine[step.line];
        record.name = QStringLiteral("line %1: %2").arg(step.line).arg(StepTitle(step));
        if (run > 1)
            record.name += QStringLiteral(" (run %1)").arg(run);
        return record;
    }

    void print(const QString &text)
    {
        std::fputs(text.toLocal8Bit().constData(), m_out);
        std::fputc('\n', m_out);
        // Lines appear as the steps end, so a watcher sees where a long run stands.
        std::fflush(m_out);
    }

    const CheckScript &m_script;
    std::FILE *m_out;
    LineRecorder *m_recorder;
    SerialControl m_line;
    LineWait m_wait{&m_line};
    DeviceExchange m_exchange{m_line, m_wait};
    ExchangeSettings m_settings;
    QString m_lineSettings = QStringLiteral("9600,N,8,1");
    QString m_lineFailure;
    ReplyUnderCheck m_last;
    qint64 m_lastMs = 0;
    QList<StepRecord> m_records;
    QHash<int, int> m_runsOfLine;
};

QByteArray junitReport(const QString &suiteName, const QList<StepRecord> &records, double seconds)
{
    int failures = 0;
    int errors = 0;
    for (const StepRecord &record : records) {
        failures += !record.passed && !record.error;
        errors += record.error;
    }
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("testsuites"));
    writer.writeStartElement(QStringLiteral("testsuite"));
    writer.writeAttribute(QStringLiteral("name"), suiteName);
    writer.writeAttribute(QStringLiteral("tests"), QString::number(records.size()));
    writer.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    writer.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    writer.writeAttribute(QStringLiteral("time"), QString::number(seconds, 'f', 3));
    for (const StepRecord &record : records) {
        writer.writeStartElement(QStringLiteral("testcase"));
        writer.writeAttribute(QStringLiteral("classname"), suiteName);
        writer.writeAttribute(QStringLiteral("name"), record.name);
        writer.writeAttribute(QStringLiteral("time"), QString::number(record.seconds, 'f', 3));
        if (!record.passed) {
            writer.writeStartElement(
                    record.error ? QStringLiteral("error") : QStringLiteral("failure"));
            writer.writeAttribute(QStringLiteral("message"), record.detail);
            writer.writeEndElement();
        }
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

} // namespace

int RunCheckScript(const ScriptRunOptions &options, std::FILE *out, std::FILE *err)
{
    const QByteArray path = options.scriptPath.toLocal8Bit();
    QFile file(options.scriptPath);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(err, "quillon: cannot read the script %s: %s\n", path.constData(),
                qPrintable(file.errorString()));
        return ScriptError;
    }
    const CheckScript script = ParseCheckScript(file.readAll());
    int errorLine = script.errorLine;
    QString error = script.error;
    // Settings are checked here, where their reader lives, but still before anything runs.
    for (const ScriptStep &step : script.steps) {
        if (error.isEmpty() && step.kind == ScriptStep::Kind::Settings
                && !SerialSettings::parse(step.settings)) {
            errorLine = step.line;
            error = QStringLiteral("bad settings \"%1\": write them as 9600,N,8,1")
                            .arg(step.settings);
        }
    }
    if (!error.isEmpty()) {
        std::fprintf(err, "quillon: %s:%d: %s\n", path.constData(), errorLine, qPrintable(error));
        std::fprintf(out, "ERROR %d: %s\n", errorLine, error.toLocal8Bit().constData());
        return ScriptError;
    }

    // The report file is opened before the first step, so a run is not wasted on a report
    // that cannot be written.
    QFile report(options.junitPath);
    if (!options.junitPath.isEmpty()
            && !report.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        std::fprintf(err, "quillon: cannot write the report to %s: %s\n",
                qPrintable(options.junitPath), qPrintable(report.errorString()));
        return ScriptError;
    }

    QElapsedTimer clock;
    clock.start();
    ScriptRunner runner(script, options.recorder, out);
    const bool finished = runner.run();
    const double seconds = double(clock.elapsed()) / 1000.0;

    int failed = 0;
    int firstFailure = 0;
    for (const StepRecord &record : runner.records()) {
        if (!record.passed && !record.error) {
            ++failed;
            if (firstFailure == 0)
                firstFailure = record.line;
        }
    }
    const int steps = int(runner.records().size());
    QString summary;
    int status = ScriptPassed;
    if (!finished) {
        summary = QStringLiteral("ERROR: the run stopped at line %1 after %2 steps, %3 failed")
                          .arg(runner.records().last().line)
                          .arg(steps - 1)
                          .arg(failed);
        status = ScriptError;
    } else if (failed > 0) {
        summary = QStringLiteral("FAIL: %1 of %2 steps failed, the first at line %3")
                          .arg(failed)
                          .arg(steps)
                          .arg(firstFailure);
        status = ScriptFailed;
    } else {
        summary = QStringLiteral("PASS: %1 steps, none failed").arg(steps);
    }
    summary += QStringLiteral(" (%1 s)").arg(seconds, 0, 'f', 2);
    std::fprintf(out, "%s\n", summary.toLocal8Bit().constData());
    std::fflush(out);

    if (report.isOpen()) {
        const QByteArray xml
                = junitReport(QFileInfo(options.scriptPath).fileName(), runner.records(), seconds);
        if (report.write(xml) != xml.size() || !report.flush()) {
            std::fprintf(err, "quillon: cannot write the report to %s: %s\n",
                    qPrintable(options.junitPath), qPrintable(report.errorString()));
            return ScriptError;
        }
    }
    return status;
}
