#include "app/commandline.h"
#include "app/portlist.h"
#include "app/scanreport.h"
#include "app/serverun.h"
#include "line/linemessages.h"
#include "line/port/portbinding.h"
#include "line/port/serialcontrol.h"
#include "line/record/linerecorder.h"
#include "line/record/loopcsv.h"
#include "line/record/wirelog.h"
#include "script/scriptfromlog.h"
#include "script/scriptrunner.h"
#include "windows/appearance.h"
#include "windows/forms/frmmain.h"

#include <QApplication>
#include <QFileInfo>
#include <QList>
#include <QSocketNotifier>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A file the command line names both to be read and to be written: the transcript or the CSV
// file is emptied when it is opened, before the script or the recording in it is read. Said
// as the message that refuses the command line; empty when there is none.
QString fileReadAndWritten(const CommandLine &commandLine)
{
    const std::pair<const char *, QString> read[] = {
            {"--run", commandLine.scriptPath}, {"--script-from-log", commandLine.replayedLogPath}};
    const std::pair<const char *, QString> written[]
            = {{"--log", commandLine.logPath}, {"--csv", commandLine.csvPath}};
    for (const auto &[readOption, readPath] : read) {
        // A link or another spelling of the same path is the same file.
        const QString readFile
                = readPath.isEmpty() ? QString() : QFileInfo(readPath).canonicalFilePath();
        for (const auto &[writtenOption, writtenPath] : written)
            if (!readFile.isEmpty() && !writtenPath.isEmpty()
                    && QFileInfo(writtenPath).canonicalFilePath() == readFile)
                return QStringLiteral("%1 is read by %2 and would be emptied by %3; choose another "
                                      "file for %3")
                        .arg(EscapeOutsideText(readPath), QLatin1String(readOption),
                                QLatin1String(writtenOption));
    }
    return QString();
}

int g_signalPipe[2] = {-1, -1};
int g_fallbackPipe[2] = {-1, -1};

void forwardSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    [[maybe_unused]] const ssize_t woken = ::write(g_fallbackPipe[1], &byte, 1);
}

// The event loop hears the signal only between events, and one event can take long (Qt laying
// out a huge text, a stalled device call). A thread of its own ends the process if the loop has
// not done so shortly after the signal; leaving closes every descriptor, the port's with them,
// and its exclusive lock goes with the descriptor.
void endAnywayAfterSignal()
{
    if (::pipe(g_fallbackPipe) != 0)
        return;
    std::thread([] {
        char byte = 0;
        while (::read(g_fallbackPipe[0], &byte, 1) != 1)
            ;
        std::this_thread::sleep_for(std::chrono::milliseconds(750));
        std::fflush(nullptr);
        std::_Exit(EXIT_SUCCESS);
    }).detach();
}

// SIGTERM (logout, `kill`), SIGINT and SIGHUP leave the way Exit does, so the port is closed
// and its lock released instead of the process simply vanishing.
void leaveLikeExitOnSignals(frmMain &window)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return;
    endAnywayAfterSignal();
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(
            notifier, &QSocketNotifier::activated, &window, [&window] { window.cmdExit_Click(); });
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        std::signal(signal, forwardSignal);
}

// While the application object connects to the window system, Qt's platform warnings are held
// back: if it cannot connect, Qt ends with a fatal message advising to reinstall and an abort
// (a core file); we print one line naming the missing desktop and leave with status 2 instead.
struct HeldMessage
{
    QtMsgType type;
    const char *category; // category names are string literals and outlive the program's start
    QString text;
};
QtMessageHandler g_earlierHandler = nullptr;
QList<HeldMessage> g_heldMessages;

void holdPlatformMessages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtFatalMsg) {
        const QString reason = g_heldMessages.isEmpty()
                ? QStringLiteral("no window system answered")
                : g_heldMessages.first().text;
        std::fputs(qPrintable(NoDesktopText(reason)), stderr);
        std::_Exit(2);
    }
    if (context.category && qstrncmp(context.category, "qt.qpa", 6) == 0) {
        g_heldMessages.append({type, context.category, text});
        return;
    }
    g_earlierHandler(type, context, text);
}

void releasePlatformMessages()
{
    qInstallMessageHandler(g_earlierHandler);
    for (const HeldMessage &held : std::as_const(g_heldMessages))
        g_earlierHandler(
                held.type, QMessageLogContext(nullptr, 0, nullptr, held.category), held.text);
    g_heldMessages.clear();
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine commandLine = ParseCommandLine(arguments);
    std::optional<QApplication> windowApp;
    switch (commandLine.action) {
    case CommandLine::Action::Help:
        std::fputs(qPrintable(UsageText()), stdout);
        return EXIT_SUCCESS;
    case CommandLine::Action::Version:
        std::fputs(qPrintable(VersionText(QStringLiteral(QUILLON_VERSION))), stdout);
        return EXIT_SUCCESS;
    case CommandLine::Action::Error:
        std::fputs(qPrintable(ErrorText(commandLine.error)), stderr);
        return 2;
    case CommandLine::Action::Run:
        // The desktop is reached before any file is opened: a window that cannot open leaves
        // the transcript and the CSV file as they were.
        if (!DesktopNamed(arguments, QProcessEnvironment::systemEnvironment())) {
            std::fputs(qPrintable(NoDesktopText(
                               QStringLiteral("DISPLAY and WAYLAND_DISPLAY are not set"))),
                    stderr);
            return 2;
        }
        StartReadingFontConfiguration();
        g_earlierHandler = qInstallMessageHandler(holdPlatformMessages);
        windowApp.emplace(argc, argv);
        releasePlatformMessages();
        break;
    case CommandLine::Action::ListPorts:
    case CommandLine::Action::Scan:
    case CommandLine::Action::RunScript:
    case CommandLine::Action::ScriptFromLog:
    case CommandLine::Action::Serve:
        break;
    }

    // The one record of the line, for the window and a check script alike: the transcript and
    // the CSV file follow it from the start. A file that stops taking lines is said here, and in
    // the window's error box.
    LineRecorder recorder;
    QObject::connect(&recorder, &LineRecorder::writingFailed, [](const QString &message) {
        std::fprintf(stderr, "quillon: %s\n", qPrintable(message));
    });

    // Opened once every option and the desktop have been checked, and before the line is
    // touched: a file that cannot be written is refused whatever else the command line asks for.
    if (const QString refused = fileReadAndWritten(commandLine); !refused.isEmpty()) {
        std::fprintf(stderr, "quillon: %s\n", qPrintable(refused));
        return 2;
    }
    WireLog transcript(&recorder);
    if (!commandLine.logPath.isEmpty() && !transcript.open(commandLine.logPath)) {
        std::fprintf(stderr, "quillon: cannot write the transcript to %s: %s\n",
                qPrintable(EscapeOutsideText(commandLine.logPath)),
                qPrintable(transcript.errorString()));
        return 2;
    }

    LoopCsv csv(&recorder);
    if (!commandLine.csvPath.isEmpty() && !csv.open(commandLine.csvPath)) {
        std::fprintf(stderr, "quillon: cannot write the CSV file %s: %s\n",
                qPrintable(EscapeOutsideText(commandLine.csvPath)), qPrintable(csv.errorString()));
        return 2;
    }

    for (int n = 1; n <= int(commandLine.comDevices.size()); ++n)
        SetComPortOverride(n, commandLine.comDevices[n - 1]);
    if (commandLine.action == CommandLine::Action::ListPorts) {
        QCoreApplication app(argc, argv); // a binding by identity is searched for
        std::fputs(qPrintable(FormatPortList(SystemSerialPorts(), CurrentComBindings())), stdout);
        return EXIT_SUCCESS;
    }
    if (commandLine.action == CommandLine::Action::Scan) {
        QCoreApplication app(argc, argv);
        return RunScan(commandLine.scanTargets, commandLine.json, stdout, stderr);
    }
    if (commandLine.action == CommandLine::Action::ScriptFromLog)
        return PrintScriptFromLog(commandLine.replayedLogPath, stdout, stderr);

    // Serving, like a script, needs an event loop and no window system.
    if (commandLine.action == CommandLine::Action::Serve) {
        // Qt's own event loop rather than GLib's: a server has no GLib sources to serve, and
        // Qt's loop sets and clears a timer without waking itself through a pipe, which a
        // client's every call would pay for.
        if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
            qputenv("QT_NO_GLIB", "1");
        QCoreApplication app(argc, argv);
        return RunServe(commandLine, &recorder, stdout, stderr);
    }

    // A script runs where no display exists (ssh, a nightly job): the line needs an event
    // loop, not a window system.
    if (commandLine.action == CommandLine::Action::RunScript) {
        QCoreApplication app(argc, argv);
        return RunCheckScript(
                {commandLine.scriptPath, commandLine.junitPath, &recorder, commandLine.reopen},
                stdout, stderr);
    }

    QApplication::setApplicationName(QStringLiteral("Quillon"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));
    QGuiApplication::setDesktopFileName(
            QStringLiteral("org.quillon.Quillon")); // icon and name on Wayland
    ApplyQuillonAppearance();

    LineSessionOptions line;
    line.reopen = commandLine.reopen;
    line.recorder = &recorder;
    frmMain window(line);
    leaveLikeExitOnSignals(window);
    window.show();
    if (commandLine.showWire)
        window.showWireView();
    if (commandLine.showChart)
        window.showLoopChart();
    return QApplication::exec();
}
