// Start-up probe: starts a program and times it, from just before its exec to
// its top-level window being mapped and painted on the X display; then, after
// a settling time, reads its resident memory and closes the window as a person
// would (WM_DELETE_WINDOW), so the program shuts down normally (the panel
// releases its port's lock file); a program still running 5 s later is
// terminated.
//
//   tavrin_bench_probe --name PREFIX --color RRGGBB --pixel X,Y [--pixel X,Y]...
//                      [--settle MS] [--timeout MS] -- PROGRAM [ARGUMENT]...
//   tavrin_bench_probe --close PID
//
// The second form only asks every window of process PID to close, and exits
// (bench/lib.sh uses it to end the panel before any signal).
//
// The window is the first one mapped whose _NET_WM_PID is the program's and
// whose name (_NET_WM_NAME, else WM_NAME) starts with PREFIX. "Painted" means
// every given pixel (window coordinates) shows the colour: the window is then
// on the screen with its first frame. Plain Xlib, no toolkit, so the probe
// measures both the panel and the reference the same way and adds little load.
//
// Prints one line on standard output:
//   map_us=N paint_us=N cpu_us=N width=N height=N rss_kb=N hwm_kb=N first_look=0|1 exec_ns=N
// cpu_us is the CPU time all of the program's threads had used when the
// painted window was seen (from /proc/PID/task/*/schedstat, nanosecond
// accounting): a figure less sensitive to other load on the machine.
// first_look=1 says the window was already painted when the probe first looked
// at it after its mapping (the paint time is then the time of that look). The
// probe blackens the screen before it starts the program, so a pixel never
// shows the colour before the program paints it. exec_ns is the CLOCK_MONOTONIC
// time (ns) just before the exec, to line up times the program notes itself.
// Exit status: 0 on success, 1 on a time-out or a failure, 2 on a bad command line.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Pixel {
    int x = 0;
    int y = 0;
};

struct Options {
    std::string namePrefix;
    unsigned long color = 0x8080ff;
    std::vector<Pixel> pixels;
    int settleMs = 1000;
    int timeoutMs = 30000;
    std::vector<char*> command;
};

std::int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleepMs(double ms)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms - double(ts.tv_sec) * 1000) * 1e6);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

[[noreturn]] void usage(const char* why)
{
    std::fprintf(stderr,
                 "tavrin_bench_probe: %s\n"
                 "usage: tavrin_bench_probe --name PREFIX --color RRGGBB --pixel X,Y [--pixel X,Y]...\n"
                 "       [--settle MS] [--timeout MS] -- PROGRAM [ARGUMENT]...\n",
                 why);
    std::exit(2);
}

Options parse(int argc, char** argv)
{
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc)
            usage(("missing value for " + arg).c_str());
        const char* value = argv[++i];
        if (arg == "--name") {
            o.namePrefix = value;
        } else if (arg == "--color") {
            o.color = std::strtoul(value, nullptr, 16);
        } else if (arg == "--pixel") {
            Pixel p;
            if (std::sscanf(value, "%d,%d", &p.x, &p.y) != 2)
                usage("--pixel expects X,Y");
            o.pixels.push_back(p);
        } else if (arg == "--settle") {
            o.settleMs = std::atoi(value);
        } else if (arg == "--timeout") {
            o.timeoutMs = std::atoi(value);
        } else {
            usage(("unknown option " + arg).c_str());
        }
    }
    for (; i < argc; ++i)
        o.command.push_back(argv[i]);
    o.command.push_back(nullptr);
    if (o.command.size() < 2)
        usage("no program given");
    if (o.pixels.empty())
        usage("at least one --pixel is needed");
    return o;
}

// Windows vanish under the probe (dialogs, the program exiting): their errors
// are expected and ignored.
int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

std::optional<long> windowPid(Display* dpy, Window w, Atom pidAtom)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::optional<long> pid;
    if (XGetWindowProperty(dpy, w, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
            Success &&
        data != nullptr && format == 32 && count == 1)
        pid = *reinterpret_cast<long*>(data);
    if (data != nullptr)
        XFree(data);
    return pid;
}

std::string windowName(Display* dpy, Window w, Atom netWmName, Atom utf8)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::string name;
    if (XGetWindowProperty(dpy, w, netWmName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) == Success &&
        data != nullptr && format == 8)
        name.assign(reinterpret_cast<char*>(data), count);
    if (data != nullptr)
        XFree(data);
    if (name.empty()) {
        char* plain = nullptr;
        if (XFetchName(dpy, w, &plain) && plain != nullptr) {
            name = plain;
            XFree(plain);
        }
    }
    return name;
}

// Reads "VmRSS:" and "VmHWM:" in kB.
void readMemory(pid_t pid, long& rssKb, long& hwmKb)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    rssKb = hwmKb = -1;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            rssKb = std::atol(line.c_str() + 6);
        else if (line.rfind("VmHWM:", 0) == 0)
            hwmKb = std::atol(line.c_str() + 6);
    }
}

void askToClose(Display* dpy, Window w);

// Closes the window and waits up to 5 s for the program to exit; then
// terminates it, and kills it after another 5 s.
void endChild(pid_t pid, Display* dpy = nullptr, Window window = None)
{
    if (dpy != nullptr && window != None) {
        askToClose(dpy, window);
        XSync(dpy, False);
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                return;
            sleepMs(10);
        }
    }
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        sleepMs(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// CPU time of every thread of the process, in ns.
std::int64_t processCpuNs(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::int64_t total = 0;
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return -1;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
        long long ns = 0;
        if (stat >> ns)
            total += ns;
    }
    closedir(dir);
    return total;
}

// Asks a top-level window to close, as a window manager does for a person.
void askToClose(Display* dpy, Window w)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = w;
    event.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, w, False, NoEventMask, &event);
}

// Asks every mapped top-level window of the process to close.
int closeWindowsOf(Display* dpy, long pid)
{
    const Atom pidAtom = XInternAtom(dpy, "_NET_WM_PID", False);
    Window rootReturn = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    int asked = 0;
    if (XQueryTree(dpy, DefaultRootWindow(dpy), &rootReturn, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes attributes{};
            if (!XGetWindowAttributes(dpy, children[i], &attributes) || attributes.map_state != IsViewable)
                continue;
            if (windowPid(dpy, children[i], pidAtom) == pid) {
                askToClose(dpy, children[i]);
                ++asked;
            }
        }
        if (children != nullptr)
            XFree(children);
    }
    XSync(dpy, False);
    return asked;
}

bool childGone(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool closeMode = argc == 3 && std::strcmp(argv[1], "--close") == 0;
    const Options options = closeMode ? Options{} : parse(argc, argv);

    Display* dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr) {
        std::fprintf(stderr, "tavrin_bench_probe: cannot open the X display \"%s\"\n", std::getenv("DISPLAY"));
        return 1;
    }
    XSetErrorHandler(ignoreXErrors);
    if (closeMode) {
        const int asked = closeWindowsOf(dpy, std::atol(argv[2]));
        XCloseDisplay(dpy);
        return asked > 0 ? 0 : 1;
    }
    const Window root = DefaultRootWindow(dpy);
    const Atom pidAtom = XInternAtom(dpy, "_NET_WM_PID", False);
    const Atom netWmName = XInternAtom(dpy, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);

    // A plain black screen: what a window shows before its first frame is
    // then never the colour looked for, whatever ran before.
    XSetWindowBackground(dpy, root, BlackPixel(dpy, DefaultScreen(dpy)));
    XClearWindow(dpy, root);
    // Top-level windows are children of the root (no window manager runs):
    // their mapping is reported to the root's substructure listeners.
    XSelectInput(dpy, root, SubstructureNotifyMask);
    XSync(dpy, False);

    // The child tells the time just before its exec through a pipe.
    int timePipe[2];
    if (pipe2(timePipe, O_CLOEXEC) != 0) {
        std::perror("tavrin_bench_probe: pipe");
        return 1;
    }
    const pid_t child = fork();
    if (child < 0) {
        std::perror("tavrin_bench_probe: fork");
        return 1;
    }
    if (child == 0) {
        close(timePipe[0]);
        close(ConnectionNumber(dpy));
        const std::int64_t t = nowNs();
        if (write(timePipe[1], &t, sizeof t) != sizeof t)
            _exit(126);
        execvp(options.command[0], options.command.data());
        std::fprintf(stderr, "tavrin_bench_probe: cannot run %s: %s\n", options.command[0], std::strerror(errno));
        _exit(127);
    }
    close(timePipe[1]);
    std::int64_t start = 0;
    if (read(timePipe[0], &start, sizeof start) != sizeof start) {
        std::fprintf(stderr, "tavrin_bench_probe: the child did not start\n");
        return 1;
    }
    close(timePipe[0]);
    const std::int64_t deadline = start + std::int64_t(options.timeoutMs) * 1'000'000;

    // Mapped top-level windows not yet matched, with the time of their mapping.
    std::vector<std::pair<Window, std::int64_t>> mapped;
    Window target = None;
    std::int64_t mapTime = 0;
    std::int64_t paintTime = 0;
    std::int64_t paintCpuNs = 0;
    bool paintedAtFirstLook = false;
    bool firstLook = true;
    int width = 0;
    int height = 0;

    while (paintTime == 0) {
        const std::int64_t now = nowNs();
        if (now > deadline) {
            std::fprintf(stderr, "tavrin_bench_probe: no painted window \"%s...\" within %d ms\n",
                         options.namePrefix.c_str(), options.timeoutMs);
            endChild(child);
            return 1;
        }
        if (childGone(child)) {
            std::fprintf(stderr, "tavrin_bench_probe: %s exited before its window was painted\n", options.command[0]);
            return 1;
        }
        // Events first; while a window is being looked at, poll its pixels
        // every half millisecond, otherwise sleep until the server speaks.
        if (XPending(dpy) == 0) {
            pollfd pfd{ConnectionNumber(dpy), POLLIN, 0};
            const int waitMs = target != None ? 0 : 20;
            if (target != None)
                sleepMs(0.5);
            else
                poll(&pfd, 1, waitMs);
        }
        while (XPending(dpy) > 0) {
            XEvent event;
            XNextEvent(dpy, &event);
            if (event.type == MapNotify && event.xmap.event == root && target == None)
                mapped.emplace_back(event.xmap.window, nowNs());
        }
        if (target == None) {
            for (auto it = mapped.begin(); it != mapped.end();) {
                const Window w = it->first;
                const auto pid = windowPid(dpy, w, pidAtom);
                const std::string name = windowName(dpy, w, netWmName, utf8);
                if (pid && *pid != child) {
                    it = mapped.erase(it);
                    continue;
                }
                if (name.rfind(options.namePrefix, 0) == 0) {
                    target = w;
                    mapTime = it->second;
                    XWindowAttributes attributes{};
                    if (XGetWindowAttributes(dpy, w, &attributes)) {
                        width = attributes.width;
                        height = attributes.height;
                    }
                    break;
                }
                ++it;  // its name may still come
            }
            if (target == None)
                continue;
        }
        bool all = true;
        for (const Pixel& p : options.pixels) {
            XImage* image = XGetImage(dpy, target, p.x, p.y, 1, 1, AllPlanes, ZPixmap);
            bool match = false;
            if (image != nullptr) {
                match = (XGetPixel(image, 0, 0) & 0xffffff) == options.color;
                XDestroyImage(image);
            }
            all = all && match;
        }
        if (all) {
            paintTime = nowNs();
            paintCpuNs = processCpuNs(child);
            paintedAtFirstLook = firstLook;
        }
        firstLook = false;
    }

    sleepMs(options.settleMs);
    long rssKb = -1;
    long hwmKb = -1;
    readMemory(child, rssKb, hwmKb);
    const bool alive = !childGone(child);
    if (alive)
        endChild(child, dpy, target);
    XCloseDisplay(dpy);
    if (!alive) {
        std::fprintf(stderr, "tavrin_bench_probe: %s exited during the settling time\n", options.command[0]);
        return 1;
    }
    std::printf(
        "map_us=%lld paint_us=%lld cpu_us=%lld width=%d height=%d rss_kb=%ld hwm_kb=%ld first_look=%d exec_ns=%lld\n",
        static_cast<long long>((mapTime - start) / 1000), static_cast<long long>((paintTime - start) / 1000),
        static_cast<long long>(paintCpuNs / 1000), width, height, rssKb, hwmKb, paintedAtFirstLook ? 1 : 0,
        static_cast<long long>(start));
    return 0;
}
