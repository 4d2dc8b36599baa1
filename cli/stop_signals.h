#pragma once

#include <QString>

#include <iterator>
#include <optional>
#include <signal.h>

// SIGINT and SIGTERM caught while an instance lives, so that a cycle can
// switch its outlets back on before orvessa ends. The handler writes the
// signal to a pipe, which wait() polls: a signal that came earlier ends the
// next wait at once. A signal the caller ignores (a background job's SIGINT)
// stays ignored. One instance at a time.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits `ms` milliseconds: nothing when the full time passed, else the
    // signal that cut it short ("SIGINT" or "SIGTERM").
    std::optional<QString> wait(int ms);

    // The pipe's read end, readable once a signal came (for a
    // QSocketNotifier); read one byte from it for the signal's number.
    int descriptor() const { return readEnd_; }
    static QString signalName(int signal);

private:
    static constexpr int Signals[] = {SIGINT, SIGTERM};

    int readEnd_ = -1;
    int writeEnd_ = -1;
    struct sigaction previous_[std::size(Signals)] = {};
    bool installed_[std::size(Signals)] = {};
};
