#pragma once

#include "protocol/framing.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <array>

// What the command line asks for. Parsed before any window or display is needed, so that
// --help, --version and --list-ports work over ssh and in scripts.
struct CommandLine
{
    enum class Action {
        Run,
        Help,
        Version,
        ListPorts,
        Error,
        RunScript,
        ScriptFromLog,
        Scan,
        Serve
    };
    Action action = Action::Run;
    QString error; // for Error: what is wrong, as GNU tools say it ("unrecognized option '-x'")
    std::array<QString, Wire::ComPorts> comDevices; // --com1 .. --com4, empty where not given
    QString logPath; // --log FILE
    QString scriptPath; // --run FILE
    QString junitPath; // --junit REPORT.xml, with --run
    QString replayedLogPath; // --script-from-log TRANSCRIPT
    QString csvPath; // --csv FILE
    bool showWire = false; // --wire
    bool showChart = false; // --chart
    bool reopen = true; // false with --no-reconnect
    QStringList scanTargets; // --scan's devices and URLs; none: the default ones
    bool json = false; // --json, with --scan
    // --serve and what goes with it: the devices behind COM 1 on the network.
    QStringList servedDevices; // --device, each checked: plain, addr:N, packet:N
    QString serveSettings; // --settings, with --device
    bool servePrompt = true; // false with --no-prompt
    QString listen; // --listen ADDRESS; empty: 127.0.0.1
    QStringList allowed; // --allow NETWORK, each checked
    int vxi11Port = -1; // --vxi11-port; -1: any free port
    int rawPort = -1; // --raw-port, the first device's; -1: 5025
    int maxClients = -1; // --max-clients; -1: the default
    int idleSeconds = -1; // --idle-timeout; -1: the default
};

// `arguments` as main() gets them, the program's name first. Qt's own options for the window
// system (-platform NAME, -display NAME, -style NAME, ...) are left for Qt. Every argument is
// checked before anything is acted on, so a bad one is never half-obeyed.
CommandLine ParseCommandLine(const QStringList &arguments);

// The usage text printed by --help.
QString UsageText();
// The text printed by --version: the version, then the copyright, the licence and the warranty.
QString VersionText(const QString &version);
// The two lines a bad command line prints: what is wrong, and where the help is.
QString ErrorText(const QString &error);

// Whether a window system is named at all, by the environment or by Qt's own options. Without
// one, Qt would abort with advice to reinstall; we say what is missing instead.
bool DesktopNamed(const QStringList &arguments, const QProcessEnvironment &environment);
// The one line printed when the window cannot open for want of a desktop session; `reason`
// says what was missing or what the window system answered.
QString NoDesktopText(const QString &reason);
