#include "stop_signals.h"

#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <poll.h>

std::optional<QString> StopSignals::wait(int ms, int readable)
{
    const QDeadlineTimer deadline(ms);
    // A negative fd is skipped: with neither, poll() only sleeps.
    pollfd watched[] = {{pipe_.readEnd(), POLLIN, 0}, {readable, POLLIN, 0}};
    while (true) {
        const int ready = ::poll(watched, std::size(watched), int(deadline.remainingTime()));
        if (ready > 0 && (watched[0].revents & POLLIN) != 0) {
            if (const int signal = pipe_.take(); signal != 0)
                return SignalPipe::name(signal);
        }
        if (ready > 0 && watched[1].revents != 0)
            return std::nullopt;
        if (ready == 0 || deadline.hasExpired())
            return std::nullopt;
        if (ready < 0 && errno != EINTR) {
            QThread::msleep(ulong(deadline.remainingTime()));
            return std::nullopt;
        }
    }
}
