#include "signal_pipe.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The pipe's write end for the handler; -1 while no instance lives.
volatile sig_atomic_t handlerPipe = -1;

extern "C" void onCaughtSignal(int signal)
{
    // write() is async-signal-safe; errno is the interrupted code's. A full
    // pipe already holds a byte that wakes the reader.
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(handlerPipe, &byte, 1);
    errno = savedErrno;
}

}  // namespace

SignalPipe::SignalPipe(std::initializer_list<int> caught)
{
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
    handlerPipe = writeEnd_;
    for (const int signal : caught) {
        Caught entry{signal, {}};
        if (::sigaction(signal, nullptr, &entry.previous) != 0 || entry.previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = onCaughtSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        if (::sigaction(signal, &action, nullptr) == 0)
            caught_.push_back(entry);
    }
}

SignalPipe::~SignalPipe()
{
    for (const Caught& entry : caught_)
        ::sigaction(entry.signal, &entry.previous, nullptr);
    handlerPipe = -1;
    if (readEnd_ >= 0)
        ::close(readEnd_);
    if (writeEnd_ >= 0)
        ::close(writeEnd_);
}

int SignalPipe::take()
{
    int last = 0;
    unsigned char bytes[16];
    ssize_t count = 0;
    while (readEnd_ >= 0 && (count = ::read(readEnd_, bytes, sizeof bytes)) > 0)
        last = bytes[count - 1];
    return last;
}

QString SignalPipe::name(int signal)
{
    switch (signal) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    case SIGINT:
        return QStringLiteral("SIGINT");
    default:
        return QStringLiteral("signal %1").arg(signal);
    }
}
