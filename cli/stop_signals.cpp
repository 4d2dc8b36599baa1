#include "stop_signals.h"

#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// The pipe's write end for the handler; -1 while no instance lives.
volatile sig_atomic_t handlerPipe = -1;

void onStopSignal(int signal)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(handlerPipe, &byte, 1);
    errno = savedErrno;
}

}  // namespace

QString StopSignals::signalName(int signal)
{
    return signal == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM");
}

StopSignals::StopSignals()
{
    int ends[2] = {-1, -1};
    // Without a pipe, wait() is a plain sleep and the signals keep their default.
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
    handlerPipe = writeEnd_;
    for (std::size_t i = 0; i < std::size(Signals); ++i) {
        if (::sigaction(Signals[i], nullptr, &previous_[i]) != 0 || previous_[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = onStopSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        installed_[i] = ::sigaction(Signals[i], &action, nullptr) == 0;
    }
}

StopSignals::~StopSignals()
{
    for (std::size_t i = 0; i < std::size(Signals); ++i)
        if (installed_[i])
            ::sigaction(Signals[i], &previous_[i], nullptr);
    handlerPipe = -1;
    if (readEnd_ >= 0)
        ::close(readEnd_);
    if (writeEnd_ >= 0)
        ::close(writeEnd_);
}

std::optional<QString> StopSignals::wait(int ms)
{
    const QDeadlineTimer deadline(ms);
    pollfd caught{readEnd_, POLLIN, 0};  // a negative fd is skipped: poll() then only sleeps
    while (true) {
        const int ready = ::poll(&caught, 1, int(deadline.remainingTime()));
        unsigned char number = 0;
        if (ready > 0 && ::read(readEnd_, &number, 1) == 1)
            return signalName(number);
        if (ready == 0 || deadline.hasExpired())
            return std::nullopt;
        if (ready < 0 && errno != EINTR) {
            QThread::msleep(ulong(deadline.remainingTime()));
            return std::nullopt;
        }
    }
}
