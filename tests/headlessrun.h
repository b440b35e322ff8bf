#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// What one run of quillon gave back.
struct HeadlessRun
{
    int status = -1; // -1 when it crashed or did not end within a minute
    QString output;
    QString errors;
    qint64 ms = 0;
};

// Runs quillon (QUILLON_PATH) with no window system at all: no platform plugin chosen, no
// display to find.
inline HeadlessRun RunHeadless(const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(QString::fromLatin1(name));
    QProcess process;
    process.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(QUILLON_PATH), arguments);
    HeadlessRun run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.ms = clock.elapsed();
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    // A leading line break lets every output line be looked for as "\n...\n".
    run.output = '\n' + QString::fromLocal8Bit(process.readAllStandardOutput());
    run.errors = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}
