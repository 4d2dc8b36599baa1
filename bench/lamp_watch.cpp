// Watches one pixel of a window on the X display and prints each change of
// its colour, with the wall clock, so that a script can set the moment a lamp
// shows a change beside the moment the change reached the board's port.
//
//   tavrin_bench_lamp_watch --window ID --pixel X,Y [--every-us 200] [--seconds 600]
//
// ID is the X window (decimal or 0x hex, as xdotool prints it); X,Y is in its
// coordinates. Prints "<µs since the epoch, CLOCK_REALTIME> RRGGBB" once for
// the colour it first sees and again for every change, flushing each line;
// ends after --seconds, on SIGTERM, or when the window goes. The pixel is read
// from the display itself (XGetImage of one pixel of the root window, where
// Xvfb keeps what is on the screen), so it shows what the operator would see,
// not what the program meant to paint. Plain Xlib: between two looks it sleeps
// --every-us, so the watch costs a fraction of a core and its resolution is
// that interval plus one round trip to the X server.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

volatile std::sig_atomic_t stopAsked = 0;

void onStopSignal(int) { stopAsked = 1; }

long long wallUs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool windowGone = false;

int onXError(Display*, XErrorEvent* error)
{
    if (error->error_code == BadWindow || error->error_code == BadMatch)
        windowGone = true;
    return 0;
}

int usage()
{
    std::fprintf(stderr, "usage: tavrin_bench_lamp_watch --window ID --pixel X,Y [--every-us N] [--seconds N]\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    Window window = 0;
    int x = -1;
    int y = -1;
    long everyUs = 200;
    long seconds = 600;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--window" && i + 1 < argc)
            window = std::strtoul(argv[++i], nullptr, 0);
        else if (arg == "--pixel" && i + 1 < argc && std::sscanf(argv[++i], "%d,%d", &x, &y) == 2)
            continue;
        else if (arg == "--every-us" && i + 1 < argc)
            everyUs = std::strtol(argv[++i], nullptr, 10);
        else if (arg == "--seconds" && i + 1 < argc)
            seconds = std::strtol(argv[++i], nullptr, 10);
        else
            return usage();
    }
    if (window == 0 || x < 0 || y < 0 || everyUs < 0 || seconds <= 0)
        return usage();

    Display* dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr) {
        std::fprintf(stderr, "tavrin_bench_lamp_watch: cannot open the display\n");
        return 1;
    }
    XSetErrorHandler(onXError);
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);
    const Window root = DefaultRootWindow(dpy);

    const long long end = wallUs() + seconds * 1000000LL;
    unsigned long shown = ~0UL;
    const timespec pause{0, everyUs * 1000};
    while (!stopAsked && wallUs() < end) {
        // Where the pixel is on the screen, asked each time: a window manager
        // may move the window.
        int rootX = 0;
        int rootY = 0;
        Window child = 0;
        if (!XTranslateCoordinates(dpy, window, root, x, y, &rootX, &rootY, &child) || windowGone)
            break;
        XImage* image = XGetImage(dpy, root, rootX, rootY, 1, 1, AllPlanes, ZPixmap);
        const long long seen = wallUs();
        if (image == nullptr || windowGone)
            break;
        const unsigned long color = XGetPixel(image, 0, 0) & 0xffffff;
        XDestroyImage(image);
        if (color != shown) {
            std::printf("%lld %06lx\n", seen, color);
            std::fflush(stdout);
            shown = color;
        }
        nanosleep(&pause, nullptr);
    }
    XCloseDisplay(dpy);
    return 0;
}
