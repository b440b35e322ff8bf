#include "app/commandline.h"
#include "app/portlist.h"
#include "line/portbinding.h"
#include "line/wirelog.h"
#include "windows/appearance.h"
#include "windows/frmmain.h"

#include <QApplication>
#include <QSocketNotifier>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

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

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine commandLine = ParseCommandLine(arguments);
    switch (commandLine.action) {
    case CommandLine::Action::Help:
        std::fputs(qPrintable(UsageText()), stdout);
        return EXIT_SUCCESS;
    case CommandLine::Action::Version:
        std::printf("quillon %s\n", QUILLON_VERSION);
        return EXIT_SUCCESS;
    case CommandLine::Action::Error:
        std::fprintf(
                stderr, "quillon: %s\n%s", qPrintable(commandLine.error), qPrintable(UsageText()));
        return 2;
    case CommandLine::Action::ListPorts:
    case CommandLine::Action::Run:
        break;
    }
    for (int n = 1; n <= int(commandLine.comDevices.size()); ++n)
        SetComPortOverride(n, commandLine.comDevices[n - 1]);
    if (commandLine.action == CommandLine::Action::ListPorts) {
        std::fputs(qPrintable(FormatPortList(SystemSerialPorts(), CurrentComBindings())), stdout);
        return EXIT_SUCCESS;
    }

    WireLog transcript;
    if (!commandLine.logPath.isEmpty()) {
        if (!transcript.open(commandLine.logPath)) {
            std::fprintf(stderr, "quillon: cannot write the transcript to %s: %s\n",
                    qPrintable(commandLine.logPath), qPrintable(transcript.errorString()));
            return 2;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillon"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));
    QGuiApplication::setDesktopFileName(
            QStringLiteral("org.quillon.Quillon")); // icon and name on Wayland
    ApplyQuillonAppearance();

    frmMain window(commandLine.logPath.isEmpty() ? nullptr : &transcript);
    leaveLikeExitOnSignals(window);
    window.show();
    return app.exec();
}
