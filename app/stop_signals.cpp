#include "stop_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::initializer_list<int> kStopSignals = {SIGTERM, SIGHUP, SIGINT};

// The pipe's write end, for the handler.
volatile std::sig_atomic_t g_writeEnd = -1;

extern "C" void onStopSignal(int)
{
    // write() is async-signal-safe; errno is the interrupted code's. A full
    // pipe already holds a byte to wake the reader.
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_writeEnd, &byte, 1);
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent)
{
    if (::pipe2(pipe_.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("Stop signals end the panel without closing its window: no pipe (%s)", std::strerror(errno));
        return;
    }
    g_writeEnd = pipe_[1];
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        if (drain())
            emit received();
    });

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kStopSignals)
        ::sigaction(signal, &action, nullptr);
}

StopSignals::~StopSignals()
{
    if (pipe_[0] < 0)
        return;
    for (int signal : kStopSignals)
        std::signal(signal, SIG_DFL);
    g_writeEnd = -1;
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

bool StopSignals::arrived()
{
    if (pipe_[0] >= 0)
        drain();
    return arrived_;
}

bool StopSignals::drain()
{
    char bytes[16];
    bool read = false;
    while (::read(pipe_[0], bytes, sizeof bytes) > 0)
        read = true;
    arrived_ = arrived_ || read;
    return read;
}
