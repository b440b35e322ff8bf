// Start-up cost: launches quillon N times on the X display in $DISPLAY and reports the median
// time from exec to the main window being mapped, to its first frame being drawn (what the
// operator sees: a mapped window is still blank until then), and the resident memory one
// second later.
// Given a peer (a bare Qt window, bench_bare_window), it launches both in turn, so that whatever
// else the machine does falls on both alike, and gives the ratios.
//
//   startup_bench PATH-TO-QUILLON [runs] [PATH-TO-PEER [OTHER...]]
//   (bench/startup starts an Xvfb for it. Each OTHER shows a window titled as Quillon's: the
//   controls-only peer, bench_controls_window, or another build of quillon, say the last
//   release; each is compared with the bare window too.)

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
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

bool isMainWindow(Display *display, Window window, const char *title)
{
    char *name = nullptr;
    if (!XFetchName(display, window, &name) || !name)
        return false;
    const bool match = std::strcmp(name, title) == 0;
    XFree(name);
    return match;
}

// CPU time (user and system) the process has used so far, in milliseconds: unlike the wall
// time, it hardly moves with whatever else the machine is doing.
double cpuMs(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t afterName = text.rfind(')');
    if (afterName == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(afterName + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::atof(field.c_str());
        if (i == 15) {
            stime = std::atof(field.c_str());
            break;
        }
    }
    return (utime + stime) * 1000.0 / double(sysconf(_SC_CLK_TCK));
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
    int damageEvent = 0, damageError = 0;
    if (!XDamageQueryExtension(display, &damageEvent, &damageError)) {
        std::fprintf(stderr, "the X server has no DAMAGE extension\n");
        return 1;
    }
    // A window the program made may not take a damage watch (input-only) or be gone by the time
    // the watch is asked for; neither matters here.
    XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, True);

    struct Program
    {
        const char *path, *title, *label;
        std::vector<double> startMs = {}, frameMs = {}, rssMiB = {}, cpuAtMapMs = {};
    };
    std::vector<Program> programs{{argv[1], "Velk Quillon", argv[1]}};
    if (argc > 3)
        programs.push_back({argv[3], "Bare Qt window", "bare Qt window"});
    for (int i = 4; i < argc; ++i)
        programs.push_back({argv[i], "Velk Quillon", argv[i]});
    for (int run = 0; run < runs; ++run) {
        for (Program &program : programs) {
            XSync(display, True); // drop what earlier runs left
            const auto start = steady_clock::now();
            const pid_t pid = fork();
            if (pid == 0) {
                setenv("QT_QPA_PLATFORM", "xcb", 1);
                execl(program.path, program.path, static_cast<char *>(nullptr));
                _exit(127);
            }
            // Every new top-level window is watched for drawing from its creation on, before
            // its title says whether it is the main window: by the time it is mapped, the
            // program may already be drawing into it.
            std::vector<Damage> watches;
            std::map<Window, double> firstDrawnMs;
            Window mainWindow = 0;
            double took = -1, cpu = -1, frame = -1;
            while (took < 0 || frame < 0) {
                XEvent event;
                XNextEvent(display, &event);
                const double now
                        = duration<double, std::milli>(steady_clock::now() - start).count();
                if (event.type == CreateNotify) {
                    watches.push_back(XDamageCreate(
                            display, event.xcreatewindow.window, XDamageReportNonEmpty));
                } else if (event.type == damageEvent + XDamageNotify) {
                    // Only the first drawing of each window counts.
                    firstDrawnMs.emplace(
                            reinterpret_cast<XDamageNotifyEvent &>(event).drawable, now);
                } else if (event.type == MapNotify && !mainWindow
                        && isMainWindow(display, event.xmap.window, program.title)) {
                    mainWindow = event.xmap.window;
                    took = now;
                    cpu = cpuMs(pid);
                }
                if (const auto drawn = firstDrawnMs.find(mainWindow); drawn != firstDrawnMs.end())
                    frame = drawn->second;
            }
            for (const Damage watch : watches)
                XDamageDestroy(display, watch);
            XSync(display, False);
            std::this_thread::sleep_for(seconds(1));
            const long rss = residentKiB(pid);
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            if (run > 0) { // the first run warms the page cache
                program.startMs.push_back(took);
                program.frameMs.push_back(frame);
                program.rssMiB.push_back(rss / 1024.0);
                program.cpuAtMapMs.push_back(cpu);
            }
        }
    }
    for (const Program &program : programs) {
        std::printf("%s: start-up over %zu runs: median %.1f ms from exec to the mapped window "
                    "(min %.1f, max %.1f), %.1f ms to its first frame (min %.1f, max %.1f), CPU "
                    "%.0f ms at the map; resident memory 1 s later: median %.1f MB\n",
                program.label, program.startMs.size(), median(program.startMs),
                *std::min_element(program.startMs.begin(), program.startMs.end()),
                *std::max_element(program.startMs.begin(), program.startMs.end()),
                median(program.frameMs),
                *std::min_element(program.frameMs.begin(), program.frameMs.end()),
                *std::max_element(program.frameMs.begin(), program.frameMs.end()),
                median(program.cpuAtMapMs), median(program.rssMiB));
    }
    for (size_t i = 0; programs.size() > 1 && i < programs.size(); ++i)
        if (i != 1)
            std::printf("ratio %s / bare Qt window: to the mapped window %.2fx, to the first "
                        "frame %.2fx, memory %.2fx\n",
                    programs[i].label, median(programs[i].startMs) / median(programs[1].startMs),
                    median(programs[i].frameMs) / median(programs[1].frameMs),
                    median(programs[i].rssMiB) / median(programs[1].rssMiB));
    XCloseDisplay(display);
    return 0;
}
