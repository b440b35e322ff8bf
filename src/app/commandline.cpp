#include "commandline.h"

#include "line/linemessages.h"
#include "line/scan/instrumentscan.h"
#include "line/serialsettings.h"
#include "share/sharesettings.h"

#include <QHostAddress>

#include <optional>

namespace {

// Options the Qt application object takes itself; they pass through untouched. Qt accepts them
// with one dash or two.
const QStringList kQtOptionsWithValue = {"-platform", "-platformpluginpath", "-platformtheme",
        "-plugin", "-display", "-style", "-stylesheet", "-geometry", "-qwindowgeometry",
        "-qwindowtitle", "-qwindowicon", "-session", "-name", "-title"};
const QStringList kQtFlags = {"-reverse", "-nograb", "-dograb", "-sync", "-widgetcount"};

QString asQtOption(const QString &argument)
{
    return argument.startsWith(QLatin1String("--")) ? argument.mid(1) : argument;
}

enum class Option {
    Help,
    Version,
    ListPorts,
    Log,
    Csv,
    Wire,
    Chart,
    NoReopen,
    Run,
    Junit,
    ScriptFromLog,
    Scan,
    Json,
    Com1,
    Com2,
    Com3,
    Com4,
    Serve,
    Device,
    Settings,
    NoPrompt,
    Listen,
    Allow,
    Vxi11Port,
    RawPort,
    MaxClients,
    IdleTimeout
};

struct OptionName
{
    const char *name;
    Option option;
    bool takesValue;
};

// Long options are also taken with one dash (-help, -list-ports), as Qt programs do.
constexpr OptionName kOptions[] = {{"help", Option::Help, false}, {"h", Option::Help, false},
        {"version", Option::Version, false}, {"v", Option::Version, false},
        {"list-ports", Option::ListPorts, false}, {"log", Option::Log, true},
        {"csv", Option::Csv, true}, {"wire", Option::Wire, false}, {"chart", Option::Chart, false},
        {"no-reconnect", Option::NoReopen, false}, {"run", Option::Run, true},
        {"junit", Option::Junit, true}, {"script-from-log", Option::ScriptFromLog, true},
        {"scan", Option::Scan, false}, {"json", Option::Json, false}, {"com1", Option::Com1, true},
        {"com2", Option::Com2, true}, {"com3", Option::Com3, true}, {"com4", Option::Com4, true},
        {"serve", Option::Serve, false}, {"device", Option::Device, true},
        {"settings", Option::Settings, true}, {"no-prompt", Option::NoPrompt, false},
        {"listen", Option::Listen, true}, {"allow", Option::Allow, true},
        {"vxi11-port", Option::Vxi11Port, true}, {"raw-port", Option::RawPort, true},
        {"max-clients", Option::MaxClients, true}, {"idle-timeout", Option::IdleTimeout, true}};

// A whole number from `low` to `high`, or nothing.
std::optional<int> numberIn(const QString &text, int low, int high)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= low && value <= high ? std::optional<int>(value) : std::nullopt;
}

std::optional<OptionName> findOption(const QString &name)
{
    for (const OptionName &known : kOptions)
        if (name == QLatin1String(known.name))
            return known;
    return std::nullopt;
}

// What works without a desktop session: the usage text and the no-desktop message say it alike.
const char kWithoutDesktop[]
        = "--list-ports, --scan, --run, --serve, --script-from-log, --help and --version";

// Takes the value of a --serve option into `result`; false with `problem` when it is no value
// the option takes.
bool parseServeOption(Option option, const QString &value, CommandLine &result, QString *problem)
{
    switch (option) {
    case Option::Device:
        if (!ServedDevice::parse(value, problem))
            return false;
        result.servedDevices << value;
        return true;
    case Option::Settings:
        if (!SerialSettings::parse(value)) {
            *problem = QStringLiteral("'%1' are no line settings: write them as 9600,N,8,1")
                               .arg(EscapeOutsideText(value));
            return false;
        }
        result.serveSettings = value;
        return true;
    case Option::Listen:
        if (QHostAddress(value).isNull()) {
            *problem = QStringLiteral("'%1' is no address of this machine: write it as "
                                      "192.168.1.20")
                               .arg(EscapeOutsideText(value));
            return false;
        }
        result.listen = value;
        return true;
    case Option::Allow:
        if (!ShareSettings::parseNetwork(value, problem))
            return false;
        result.allowed << value;
        return true;
    default:
        break;
    }
    const bool port = option == Option::Vxi11Port || option == Option::RawPort;
    const auto number = numberIn(value, port ? 0 : 1, port ? 65535 : 1000000);
    if (!number) {
        *problem = port ? QStringLiteral("a port is a number from 0 (any free one) to 65535")
                        : QStringLiteral("takes a whole number from 1 to 1000000");
        return false;
    }
    (option == Option::Vxi11Port                   ? result.vxi11Port
                    : option == Option::RawPort    ? result.rawPort
                    : option == Option::MaxClients ? result.maxClients
                                                   : result.idleSeconds)
            = *number;
    return true;
}

} // namespace

QString UsageText()
{
    return QStringLiteral(
            "Usage: quillon [OPTION]...\n"
            "  or:  quillon --scan [--json] [DEVICE|URL]...\n"
            "  or:  quillon --serve [--com1 DEVICE] [--device DEVICE]... [OPTION]...\n"
            "Drive an RS-232 instrument interface by hand.\n"
            "\n"
            "  --com1 DEVICE .. --com4 DEVICE\n"
            "                    bind COM n to DEVICE for this run (before QUILLON_COMn);\n"
            "                    a serial server: socket://HOST:PORT or rfc2217://HOST:PORT;\n"
            "                    idn:PATTERN: the instrument whose *IDN? answer matches\n"
            "                    the glob PATTERN, searched for as --scan does\n"
            "  --list-ports      list the serial devices of this system and what COM 1-4 open\n"
            "  --scan [DEVICE|URL]...\n"
            "                    find the instruments that answer *IDN? on the lines given,\n"
            "                    or on COM 1-4 and the USB serial adapters: each rate from\n"
            "                    9600 until one answers, there plain and each address 0-15\n"
            "                    addressed and as a packet, and the line end they want; exit\n"
            "                    status 0 when one answered, 1 when none did\n"
            "  --json            with --scan, print the instruments found as JSON\n"
            "  --log FILE        write a transcript of every byte sent and received to FILE\n"
            "  --run FILE        run the check script FILE without a window; exit status 0 when\n"
            "                    every check passed, 1 when one failed, 2 for a bad script or "
            "port\n"
            "  --junit REPORT    with --run, also write a JUnit XML report to REPORT\n"
            "  --script-from-log TRANSCRIPT\n"
            "                    print a check script that replays a --log transcript\n"
            "  --csv FILE        write one row per loop reply to FILE (with --run, one per\n"
            "                    reply a step reads): time, port, command, reply as shown, its\n"
            "                    value and its bytes\n"
            "  --wire            open the wire view (live transcript) at start\n"
            "  --chart           open the loop chart at start\n"
            "  --no-reconnect    leave a lost port closed instead of reopening it when it is back\n"
            "  --serve           serve the instruments behind COM 1 to VISA programs on the\n"
            "                    network, without a window: the interface as inst0, each\n"
            "                    instrument as gpib0,N, by VXI-11 and by a raw SCPI socket each;\n"
            "                    prints every resource string a client can open\n"
            "  --device DEVICE   with --serve, serve DEVICE (plain, addr:N or packet:N, N 0-15;\n"
            "                    repeat for more) instead of those a scan of the line finds\n"
            "  --settings S      with --device, the line settings (default 9600,N,8,1)\n"
            "  --no-prompt       with --device, the interface sends no '>' prompt\n"
            "  --listen ADDRESS  with --serve, listen on ADDRESS (default 127.0.0.1)\n"
            "  --allow NETWORK   with --serve, serve clients from NETWORK (192.168.1.0/24);\n"
            "                    needed with --listen on any other address than this machine's\n"
            "  --vxi11-port N    the VXI-11 core channel's port (default: any free one,\n"
            "                    registered with the portmapper)\n"
            "  --raw-port N      the first device's raw socket, the next ones follow (5025)\n"
            "  --max-clients N   connections served at once (default 32)\n"
            "  --idle-timeout S  close a connection that asks nothing for S seconds (600)\n"
            "  -h, --help        show this help and exit\n"
            "  -v, --version     show the version and exit\n"
            "\n"
            "The window needs a desktop session;\n"
            "%1 work without one.\n"
            "Unbound, COM n is /dev/ttyS<n-1>.\n"
            "\n"
            "Exit status: 0 on success, 2 for a bad command line, a transcript or CSV file that\n"
            "cannot be written or is also a file to read, or no desktop session.\n"
            "\n"
            "Report bugs to: quillon@example.org\n")
            .arg(QLatin1String(kWithoutDesktop));
}

QString VersionText(const QString &version)
{
    return QStringLiteral(
            "quillon %1\n"
            "Copyright (C) 2026 The Quillon developers\n"
            "License MIT: see LICENSE in the source or /usr/share/doc/quillon/copyright.\n"
            "This is free software: you are free to change and redistribute it.\n"
            "There is NO WARRANTY, to the extent permitted by law.\n")
            .arg(version);
}

QString ErrorText(const QString &error)
{
    return QStringLiteral("quillon: %1\nTry 'quillon --help' for more information.\n").arg(error);
}

CommandLine ParseCommandLine(const QStringList &arguments)
{
    CommandLine result;
    // A bad command line yields nothing but the error: nothing of it is half-obeyed.
    const auto fail = [](const QString &error) {
        CommandLine failed;
        failed.action = CommandLine::Action::Error;
        failed.error = error;
        return failed;
    };
    bool help = false, version = false, listPorts = false, scan = false, optionsEnded = false;
    bool serve = false;
    QStringList serveOptions; // given, and so asking for --serve
    QStringList operands;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument == "-") {
            operands << argument;
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const QString qtOption = asQtOption(argument);
        if (kQtFlags.contains(qtOption))
            continue;
        if (kQtOptionsWithValue.contains(qtOption)) {
            if (++i == arguments.size())
                return fail(QStringLiteral("option '%1' requires an argument").arg(argument));
            continue;
        }

        const qsizetype nameStart = argument.startsWith(QLatin1String("--")) ? 2 : 1;
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        const QString spelled = equals < 0 ? argument : argument.left(equals);
        std::optional<OptionName> option = findOption(spelled.mid(nameStart));
        // -h and -v are the only one-letter options, and only with one dash.
        if (option && qstrlen(option->name) == 1 && nameStart != 1)
            option.reset();
        if (!option)
            return fail(QStringLiteral("unrecognized option '%1'").arg(spelled));
        if (!option->takesValue) {
            if (equals >= 0)
                return fail(QStringLiteral("option '%1' doesn't allow an argument").arg(spelled));
            help |= option->option == Option::Help;
            version |= option->option == Option::Version;
            listPorts |= option->option == Option::ListPorts;
            scan |= option->option == Option::Scan;
            result.json |= option->option == Option::Json;
            result.showWire |= option->option == Option::Wire;
            result.showChart |= option->option == Option::Chart;
            serve |= option->option == Option::Serve;
            if (option->option == Option::NoReopen)
                result.reopen = false;
            if (option->option == Option::NoPrompt) {
                result.servePrompt = false;
                serveOptions << spelled;
            }
            continue;
        }
        QString value;
        if (equals >= 0)
            value = argument.mid(equals + 1);
        else if (i + 1 < arguments.size())
            value = arguments.at(++i);
        else
            return fail(QStringLiteral("option '%1' requires an argument").arg(spelled));
        QString *path = nullptr;
        switch (option->option) {
        case Option::Log:
            path = &result.logPath;
            break;
        case Option::Csv:
            path = &result.csvPath;
            break;
        case Option::Run:
            path = &result.scriptPath;
            break;
        case Option::Junit:
            path = &result.junitPath;
            break;
        case Option::ScriptFromLog:
            path = &result.replayedLogPath;
            break;
        default:
            break;
        }
        if (path) {
            if (value.isEmpty())
                return fail(QStringLiteral("option '%1' needs a file name").arg(spelled));
            *path = value;
            continue;
        }
        if (option->option >= Option::Device) {
            QString problem;
            if (!parseServeOption(option->option, value, result, &problem))
                return fail(QStringLiteral("option '%1': %2").arg(spelled, problem));
            serveOptions << spelled;
            continue;
        }
        if (value.isEmpty())
            return fail(QStringLiteral("option '%1' needs a device, for example /dev/ttyUSB0")
                                .arg(spelled));
        result.comDevices[int(option->option) - int(Option::Com1)] = value;
    }
    // Only a scan takes operands: the lines to probe.
    if (!operands.isEmpty() && !scan)
        return fail(QStringLiteral("extra operand '%1'").arg(operands.first()));
    for (const QString &target : std::as_const(operands)) {
        if (target.isEmpty())
            return fail(QStringLiteral("--scan needs a device or URL, not an empty word"));
        if (const auto problem = InstrumentScan::targetProblem(target))
            return fail(QStringLiteral("cannot scan '%1': %2")
                                .arg(EscapeOutsideText(target), *problem));
    }
    result.scanTargets = operands;
    if (!result.junitPath.isEmpty() && result.scriptPath.isEmpty())
        return fail(QStringLiteral("option '--junit' goes with --run"));
    if (result.json && !scan)
        return fail(QStringLiteral("option '--json' goes with --scan"));
    // A scan opens its lines itself, no COM port among them: there is no exchange to record.
    if (scan && !(result.logPath.isEmpty() && result.csvPath.isEmpty()))
        return fail(QStringLiteral("--scan records nothing: --log and --csv go with the window "
                                   "or --run"));
    if (!serve && !serveOptions.isEmpty())
        return fail(QStringLiteral("option '%1' goes with --serve").arg(serveOptions.first()));
    if (serve && !(result.scriptPath.isEmpty() && !scan))
        return fail(QStringLiteral("--serve runs alone: not with --run or --scan"));
    if (result.servedDevices.isEmpty() && (!result.serveSettings.isEmpty() || !result.servePrompt))
        return fail(QStringLiteral("--settings and --no-prompt go with --device: a scan finds "
                                   "the line's rate and prompt itself"));
    if (!result.listen.isEmpty() && !QHostAddress(result.listen).isLoopback()
            && result.allowed.isEmpty())
        return fail(QStringLiteral("--listen %1 reaches the network: name the clients' networks "
                                   "with --allow NETWORK")
                            .arg(result.listen));
    if (help)
        result.action = CommandLine::Action::Help;
    else if (version)
        result.action = CommandLine::Action::Version;
    else if (listPorts)
        result.action = CommandLine::Action::ListPorts;
    else if (scan)
        result.action = CommandLine::Action::Scan;
    else if (serve)
        result.action = CommandLine::Action::Serve;
    else if (!result.scriptPath.isEmpty())
        result.action = CommandLine::Action::RunScript;
    else if (!result.replayedLogPath.isEmpty())
        result.action = CommandLine::Action::ScriptFromLog;
    return result;
}

bool DesktopNamed(const QStringList &arguments, const QProcessEnvironment &environment)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (!environment.value(QLatin1String(variable)).isEmpty())
            return true;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString option = asQtOption(arguments.at(i));
        if (option == "--")
            break;
        if ((option == "-platform" || option == "-display") && i + 1 < arguments.size())
            return true;
    }
    return false;
#else
    // Windows and macOS always have their window system.
    Q_UNUSED(arguments);
    Q_UNUSED(environment);
    return true;
#endif
}

QString NoDesktopText(const QString &reason)
{
    return QStringLiteral("quillon: the window needs a desktop session (%1); %2 work without "
                          "one\n")
            .arg(reason, QLatin1String(kWithoutDesktop));
}
