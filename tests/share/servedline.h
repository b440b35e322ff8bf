#pragma once

// What the tests and benchmarks of `quillon --serve` start: the portmapper of their namespace
// (tests/share/netns.sh), and quillon serving a simulator's line.

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

// rpcbind, started in the namespace the test runs in; its setgroups shim lets it drop its
// groups there (see setgroups_shim.c).
class Portmapper
{
public:
    Portmapper()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(QUILLON_SETGROUPS_SHIM));
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("rpcbind"), {QStringLiteral("-f")});
        QElapsedTimer clock;
        clock.start();
        while (!QFileInfo::exists(QStringLiteral("/run/rpcbind.sock")) && clock.elapsed() < 5000)
            QTest::qWait(20);
    }
    ~Portmapper()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }
    bool ready() const
    {
        return m_process.state() == QProcess::Running
                && QFileInfo::exists(QStringLiteral("/run/rpcbind.sock"));
    }

private:
    QProcess m_process;
};

// `quillon --serve` with `arguments`, its resource strings read as it prints them.
class ServedLine
{
public:
    explicit ServedLine(const QStringList &arguments)
    {
        m_process.start(QStringLiteral(QUILLON_PATH), QStringList{"--serve"} + arguments);
        QElapsedTimer clock;
        clock.start();
        // The resource strings come last, in one write, after the scan when there is one.
        while (m_process.state() != QProcess::NotRunning && clock.elapsed() < 20000
                && !m_output.endsWith('\n')) {
            m_process.waitForReadyRead(100);
            m_output += QString::fromLocal8Bit(m_process.readAllStandardOutput());
        }
        m_errors += QString::fromLocal8Bit(m_process.readAllStandardError());
    }
    ~ServedLine() { stop(); }
    ServedLine(const ServedLine &) = delete;
    ServedLine &operator=(const ServedLine &) = delete;

    // What it printed to standard error until now.
    QString errors()
    {
        m_errors += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_errors;
    }
    int stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished(1000);
        }
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    QStringList resources() const { return m_output.split(u'\n', Qt::SkipEmptyParts); }
    // The resource string of `kind` (INSTR or SOCKET) for the device `name` ("gpib0,3").
    QString resource(const QString &name, const QString &kind) const
    {
        const QStringList all = resources();
        for (qsizetype i = 0; i + 1 < all.size(); i += 2)
            if (all.at(i).contains(QStringLiteral("::") + name + QStringLiteral("::")))
                return kind == u"INSTR" ? all.at(i) : all.at(i + 1);
        return {};
    }
    // The raw socket's port of the device `name`.
    quint16 rawPort(const QString &name) const
    {
        return quint16(resource(name, QStringLiteral("SOCKET"))
                               .section(QStringLiteral("::"), 2, 2)
                               .toUInt());
    }
    // The VXI-11 core channel's port, as the report on standard error gives it.
    quint16 corePort()
    {
        static const QRegularExpression port(
                QStringLiteral("core channel (?:\\(port |on port )(\\d+)"));
        return quint16(port.match(errors()).captured(1).toUInt());
    }
    qint64 pid() const { return m_process.processId(); }
    // Its resident memory in KiB, from /proc.
    qint64 residentKiB() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        static const QRegularExpression rss(QStringLiteral("VmRSS:\\s+(\\d+)"));
        return rss.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
    }

private:
    QProcess m_process;
    QString m_output;
    QString m_errors;
};

// A program run to its end: its exit status and its standard output, within `ms`.
struct Finished
{
    int status = -1;
    QString output;
};
inline Finished RunToEnd(const QString &program, const QStringList &arguments, int ms = 60000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(ms)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput())};
}
