#include "commandline.h"

#include <QCommandLineParser>

namespace {

// Options the Qt application object takes itself; they pass through untouched.
const QStringList kQtOptionsWithValue = {"-platform", "-platformpluginpath", "-platformtheme",
        "-plugin", "-display", "-style", "-stylesheet", "-geometry", "-qwindowgeometry",
        "-qwindowtitle", "-qwindowicon", "-session", "-name", "-title"};
const QStringList kQtFlags = {"-reverse", "-nograb", "-dograb", "-sync", "-widgetcount"};

QStringList withoutQtOptions(const QStringList &arguments)
{
    QStringList ours;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (i > 0 && kQtOptionsWithValue.contains(argument) && i + 1 < arguments.size()) {
            ++i;
            continue;
        }
        if (i > 0 && kQtFlags.contains(argument))
            continue;
        ours << argument;
    }
    return ours;
}

} // namespace

QString UsageText()
{
    return QStringLiteral(
            "Usage: quillon [OPTION]...\n"
            "Drive an RS-232 instrument interface by hand.\n"
            "\n"
            "  --com1 DEVICE .. --com4 DEVICE\n"
            "                    bind COM n to DEVICE for this run (before QUILLON_COMn);\n"
            "                    a serial server: socket://HOST:PORT or rfc2217://HOST:PORT\n"
            "  --list-ports      list the serial devices of this system and what COM 1-4 open\n"
            "  --log FILE        write a transcript of every byte sent and received to FILE\n"
            "  --run FILE        run the check script FILE without a window; exit status 0 when\n"
            "                    every check passed, 1 when one failed, 2 for a bad script or "
            "port\n"
            "  --junit REPORT    with --run, also write a JUnit XML report to REPORT\n"
            "  --script-from-log TRANSCRIPT\n"
            "                    print a check script that replays a --log transcript\n"
            "  --csv FILE        write one row per loop reply to FILE: time, port, command,\n"
            "                    reply and its value\n"
            "  --wire            open the wire view (live transcript) at start\n"
            "  --chart           open the loop chart at start\n"
            "  --no-reconnect    leave a lost port closed instead of reopening it when it is back\n"
            "  -h, --help        show this help and exit\n"
            "  -v, --version     show the version and exit\n"
            "\n"
            "Unbound, COM n is /dev/ttyS<n-1>. Exit status: 0 on success, 2 for a bad command "
            "line\n"
            "or a transcript or CSV file that cannot be written.\n");
}

CommandLine ParseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, QString());
    const QCommandLineOption version({"v", "version"}, QString());
    const QCommandLineOption listPorts("list-ports", QString());
    const QCommandLineOption log("log", QString(), "FILE");
    const QCommandLineOption csv("csv", QString(), "FILE");
    const QCommandLineOption wire("wire", QString());
    const QCommandLineOption chart("chart", QString());
    const QCommandLineOption noReconnect("no-reconnect", QString());
    std::array<QCommandLineOption, 4> com = {QCommandLineOption("com1", QString(), "DEVICE"),
            QCommandLineOption("com2", QString(), "DEVICE"),
            QCommandLineOption("com3", QString(), "DEVICE"),
            QCommandLineOption("com4", QString(), "DEVICE")};
    const QCommandLineOption run("run", QString(), "FILE");
    const QCommandLineOption junit("junit", QString(), "REPORT");
    const QCommandLineOption scriptFromLog("script-from-log", QString(), "TRANSCRIPT");
    parser.addOptions({help, version, listPorts, log, noReconnect, csv, wire, chart, com[0], com[1],
            com[2], com[3], run, junit, scriptFromLog});

    CommandLine result;
    const QStringList ours = withoutQtOptions(arguments);
    if (!parser.parse(ours.isEmpty() ? QStringList{QStringLiteral("quillon")} : ours)) {
        result.action = CommandLine::Action::Error;
        result.error = parser.errorText();
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.action = CommandLine::Action::Error;
        result.error = QStringLiteral("Unexpected argument '%1'.")
                               .arg(parser.positionalArguments().first());
        return result;
    }
    for (size_t n = 0; n < com.size(); ++n) {
        result.comDevices[n] = parser.value(com[n]);
        if (parser.isSet(com[n]) && result.comDevices[n].isEmpty()) {
            result.action = CommandLine::Action::Error;
            result.error = QStringLiteral("--com%1 needs a device, for example /dev/ttyUSB0.")
                                   .arg(n + 1);
            return result;
        }
    }
    result.reconnect = !parser.isSet(noReconnect);
    result.logPath = parser.value(log);
    if (parser.isSet(log) && result.logPath.isEmpty()) {
        result.action = CommandLine::Action::Error;
        result.error = QStringLiteral("--log needs a file name.");
        return result;
    }
    result.scriptPath = parser.value(run);
    result.junitPath = parser.value(junit);
    result.replayedLogPath = parser.value(scriptFromLog);
    if (parser.isSet(run) && result.scriptPath.isEmpty()) {
        result.action = CommandLine::Action::Error;
        result.error = QStringLiteral("--run needs a script file.");
        return result;
    }
    if (parser.isSet(junit) && (result.junitPath.isEmpty() || !parser.isSet(run))) {
        result.action = CommandLine::Action::Error;
        result.error = QStringLiteral("--junit needs a report file name and goes with --run.");
        return result;
    }
    if (parser.isSet(scriptFromLog) && result.replayedLogPath.isEmpty()) {
        result.action = CommandLine::Action::Error;
        result.error = QStringLiteral("--script-from-log needs a transcript file.");
        return result;
    }
    result.csvPath = parser.value(csv);
    if (parser.isSet(csv) && result.csvPath.isEmpty()) {
        result.action = CommandLine::Action::Error;
        result.error = QStringLiteral("--csv needs a file name.");
        return result;
    }
    result.showWire = parser.isSet(wire);
    result.showChart = parser.isSet(chart);
    if (parser.isSet(help))
        result.action = CommandLine::Action::Help;
    else if (parser.isSet(version))
        result.action = CommandLine::Action::Version;
    else if (parser.isSet(listPorts))
        result.action = CommandLine::Action::ListPorts;
    else if (parser.isSet(run))
        result.action = CommandLine::Action::RunScript;
    else if (parser.isSet(scriptFromLog))
        result.action = CommandLine::Action::ScriptFromLog;
    return result;
}
