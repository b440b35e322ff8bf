// Start-up cost: launches quillon N times on the X display in $DISPLAY and reports the median
// time from exec to the main window being mapped, and the resident memory one second later.
//
//   startup_bench PATH-TO-QUILLON [runs]      (bench/startup starts an Xvfb for it)

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono;

namespace {

long residentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

bool isMainWindow(Display *display, Window window)
{
    char *name = nullptr;
    if (!XFetchName(display, window, &name) || !name)
        return false;
    const bool match = std::strcmp(name, "Velk Quillon") == 0;
    XFree(name);
    return match;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH-TO-QUILLON [runs]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 1;
    }
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, True);

    std::vector<double> startMs, rssMiB;
    for (int run = 0; run < runs; ++run) {
        XSync(display, True); // drop what earlier runs left
        const auto start = steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("QT_QPA_PLATFORM", "xcb", 1);
            execl(argv[1], argv[1], static_cast<char *>(nullptr));
            _exit(127);
        }
        double took = -1;
        while (took < 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && isMainWindow(display, event.xmap.window))
                took = duration<double, std::milli>(steady_clock::now() - start).count();
        }
        std::this_thread::sleep_for(seconds(1));
        const long rss = residentKiB(pid);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        if (run > 0) { // the first run warms the page cache
            startMs.push_back(took);
            rssMiB.push_back(rss / 1024.0);
        }
    }
    std::printf("start-up over %zu runs: median %.1f ms from exec to the mapped main window "
                "(min %.1f, max %.1f)\n",
            startMs.size(), median(startMs), *std::min_element(startMs.begin(), startMs.end()),
            *std::max_element(startMs.begin(), startMs.end()));
    std::printf("resident memory 1 s later: median %.1f MB\n", median(rssMiB));
    XCloseDisplay(display);
    return 0;
}
