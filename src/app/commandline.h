#pragma once

#include <QString>
#include <QStringList>

#include <array>

// What the command line asks for. Parsed before any window or display is needed, so that
// --help, --version and --list-ports work over ssh and in scripts.
struct CommandLine
{
    enum class Action { Run, Help, Version, ListPorts, Error, RunScript, ScriptFromLog };
    Action action = Action::Run;
    QString error; // for Error: one line saying what is wrong
    std::array<QString, 4> comDevices; // --com1 .. --com4, empty where not given
    QString logPath; // --log FILE
    QString scriptPath; // --run FILE
    QString junitPath; // --junit REPORT.xml, with --run
    QString replayedLogPath; // --script-from-log TRANSCRIPT
    QString csvPath; // --csv FILE
    bool showWire = false; // --wire
    bool showChart = false; // --chart
    bool reconnect = true; // false with --no-reconnect
};

// `arguments` as main() gets them, the program's name first. Qt's own options for the window
// system (-platform NAME, -display NAME, -style NAME, ...) are left for Qt.
CommandLine ParseCommandLine(const QStringList &arguments);

// The usage text printed by --help, and after an error.
QString UsageText();
