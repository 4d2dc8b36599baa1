#pragma once

#include <QString>

#include <initializer_list>
#include <signal.h>
#include <vector>

// Signals caught into a pipe: the handler only writes the signal's number, so
// whoever waits on the pipe's read end (poll(), or a QSocketNotifier in an
// event loop) learns of it safely. A signal ignored when the program started
// (nohup's SIGHUP, a background job's SIGINT) stays ignored. The previous
// actions come back when it goes. One instance at a time.
class SignalPipe {
public:
    explicit SignalPipe(std::initializer_list<int> caught);
    ~SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    // -1 when no pipe could be made: the signals then keep their actions.
    int readEnd() const { return readEnd_; }
    // The last signal caught since the last call, 0 for none; never blocks.
    int take();

    // "SIGTERM", "SIGHUP", "SIGINT".
    static QString name(int signal);

private:
    struct Caught {
        int signal = 0;
        struct sigaction previous = {};
    };
    int readEnd_ = -1;
    int writeEnd_ = -1;
    std::vector<Caught> caught_;
};
