#include "stop_signals.h"

#include <csignal>
#include <initializer_list>

namespace orvessa::sim {

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void onStopSignal(int) { g_stop = 1; }

}  // namespace

StopSignals::StopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigset_t stopSet;
    sigemptyset(&stopSet);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&stopSet, sig);
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &stopSet, &waitMask_);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigdelset(&waitMask_, sig);
    }
}

bool StopSignals::requested() const { return g_stop != 0; }

}  // namespace orvessa::sim
