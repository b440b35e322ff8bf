#include "mainwin/frmmain.h"
#include "ui/appearance.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void forwardSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

// SIGTERM (logout, `kill`), SIGINT and SIGHUP leave the way Exit does, so the port is closed
// and its lock released instead of the process simply vanishing.
void leaveLikeExitOnSignals(frmMain &window)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(
            notifier, &QSocketNotifier::activated, &window, [&window] { window.cmdExit_Click(); });
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        std::signal(signal, forwardSignal);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillon"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("quillon")); // icon and name on Wayland
    ApplyQuillonAppearance();

    frmMain window;
    leaveLikeExitOnSignals(window);
    window.show();
    return app.exec();
}
