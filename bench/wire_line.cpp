// A 9600 baud 8N1 line between a program and orvessa-sim --fast: a pseudo-
// terminal of its own, whose device it prints, relayed to the simulator's
// device with each byte, in each direction, handed on one character time
// (10 bits, 1.042 ms) after the later of its arrival and the previous byte's
// hand-over, as a UART delivers it. A pty alone passes bytes at once, so a
// command and a reply would cost nothing on it. Runs until SIGTERM or SIGINT.
//
//   tavrin_bench_line --device SIM_DEVICE [--char-us 1042] [--realtime] [--log FILE]
//
// --realtime runs the relay under SCHED_FIFO, so that on a busy machine the
// line keeps its pace as the hardware it stands for would. --log writes a line
// for every hand-over of bytes to the program's side: the wall clock
// (CLOCK_REALTIME, µs since the epoch) just after the write, and the bytes.
// That is the moment the program could first read the board's reply, on the
// clock every process of the machine shares.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stopAsked = 0;

void onStopSignal(int) { stopAsked = 1; }

void configureRaw(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return;
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(fd, TCSANOW, &tio);
}

// One direction of the line: bytes read from `from`, each due for writing to
// `to` at its own time.
class Direction {
public:
    Direction(int from, int to, Clock::duration charTime, std::FILE* log = nullptr)
        : from_(from), to_(to), charTime_(charTime), log_(log)
    {}

    int from() const { return from_; }

    void readArrived(Clock::time_point now)
    {
        std::array<std::uint8_t, 256> buffer{};
        while (true) {
            const ssize_t n = ::read(from_, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;  // EAGAIN, or EIO while the other end is closed
            for (ssize_t i = 0; i < n; ++i) {
                lastDue_ = std::max(now, lastDue_) + charTime_;
                queue_.push_back({buffer[static_cast<std::size_t>(i)], lastDue_});
            }
        }
    }

    std::optional<Clock::time_point> nextDue() const
    {
        if (queue_.empty())
            return std::nullopt;
        return queue_.front().due;
    }

    void writeDue(Clock::time_point now)
    {
        std::vector<std::uint8_t> bytes;
        for (const Slot& slot : queue_) {
            if (slot.due > now)
                break;
            bytes.push_back(slot.byte);
        }
        if (bytes.empty())
            return;
        const ssize_t n = ::write(to_, bytes.data(), bytes.size());
        if (n > 0) {
            logHandedOver(bytes.data(), static_cast<std::size_t>(n));
            queue_.erase(queue_.begin(), queue_.begin() + n);
        }
    }

private:
    void logHandedOver(const std::uint8_t* bytes, std::size_t count)
    {
        if (log_ == nullptr)
            return;
        timespec wall{};
        ::clock_gettime(CLOCK_REALTIME, &wall);
        std::fprintf(log_, "%lld.%06ld ", static_cast<long long>(wall.tv_sec), wall.tv_nsec / 1000);
        for (std::size_t i = 0; i < count; ++i)
            std::fputc(bytes[i] >= 0x21 && bytes[i] < 0x7f ? bytes[i] : '.', log_);
        std::fputc('\n', log_);
        std::fflush(log_);
    }

    struct Slot {
        std::uint8_t byte;
        Clock::time_point due;
    };
    int from_;
    int to_;
    Clock::duration charTime_;
    std::FILE* log_;
    std::deque<Slot> queue_;
    Clock::time_point lastDue_{};
};

timespec until(Clock::time_point due, Clock::time_point now)
{
    const auto wait = std::max(Clock::duration::zero(), due - now);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

int usage()
{
    std::fprintf(stderr, "usage: tavrin_bench_line --device SIM_DEVICE [--char-us N] [--realtime] [--log FILE]\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    std::string device;
    long charUs = 1042;
    bool realtime = false;
    std::string logPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--device" && i + 1 < argc)
            device = argv[++i];
        else if (arg == "--char-us" && i + 1 < argc)
            charUs = std::strtol(argv[++i], nullptr, 10);
        else if (arg == "--realtime")
            realtime = true;
        else if (arg == "--log" && i + 1 < argc)
            logPath = argv[++i];
        else
            return usage();
    }
    if (device.empty() || charUs < 0)
        return usage();

    std::FILE* log = nullptr;
    if (!logPath.empty() && (log = std::fopen(logPath.c_str(), "we")) == nullptr) {
        std::fprintf(stderr, "tavrin_bench_line: cannot write %s: %s\n", logPath.c_str(), std::strerror(errno));
        return 1;
    }
    const int board = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (board < 0) {
        std::fprintf(stderr, "tavrin_bench_line: cannot open %s: %s\n", device.c_str(), std::strerror(errno));
        return 1;
    }
    configureRaw(board);
    termios raw{};
    ::cfmakeraw(&raw);
    ::cfsetspeed(&raw, B9600);
    raw.c_cflag |= CLOCAL | CREAD;
    int master = -1;
    int slave = -1;  // kept open, so that the master never hangs up when the program closes its end
    std::array<char, 128> name{};
    if (::openpty(&master, &slave, name.data(), &raw, nullptr) != 0) {
        std::fprintf(stderr, "tavrin_bench_line: openpty: %s\n", std::strerror(errno));
        return 1;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);

    // Wake-ups on time, not up to 50 µs late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (realtime) {
        const sched_param param{10};
        if (::sched_setscheduler(0, SCHED_FIFO, &param) != 0)
            std::fprintf(stderr, "tavrin_bench_line: no real-time scheduling (%s); going on without\n",
                         std::strerror(errno));
    }

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigset_t waitMask;
    ::sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    std::printf("%s\n", name.data());
    std::fflush(stdout);

    const auto charTime = std::chrono::microseconds(charUs);
    std::array<Direction, 2> directions{Direction(master, board, charTime), Direction(board, master, charTime, log)};
    while (!stopAsked) {
        Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> wake;
        for (Direction& direction : directions) {
            direction.writeDue(now);
            if (const auto due = direction.nextDue(); due && (!wake || *due < *wake))
                wake = due;
        }
        std::array<pollfd, 2> fds{pollfd{master, POLLIN, 0}, pollfd{board, POLLIN, 0}};
        const timespec timeout = wake ? until(*wake, now) : timespec{};
        if (::ppoll(fds.data(), fds.size(), wake ? &timeout : nullptr, &waitMask) < 0 && errno != EINTR) {
            std::fprintf(stderr, "tavrin_bench_line: ppoll: %s\n", std::strerror(errno));
            return 1;
        }
        now = Clock::now();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) != 0)
                directions[i].readArrived(now);
            else if ((fds[i].revents & (POLLHUP | POLLERR)) != 0 && i == 1) {
                std::fprintf(stderr, "tavrin_bench_line: the simulator's device hung up\n");
                return 1;
            }
        }
    }
    return 0;
}
