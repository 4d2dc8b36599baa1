// "--log" lines: seconds since start with microseconds, then the command.
#pragma once

#include "controller_model.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace orvessa::sim {

std::string formatLogLine(std::chrono::microseconds sinceStart, const ModelEvent& event);

class CommandLog {
public:
    using Clock = std::chrono::steady_clock;

    CommandLog(bool enabled, std::FILE* out, Clock::time_point start);
    void write(const ModelEvent& event, Clock::time_point now);

private:
    bool enabled_;
    std::FILE* out_;
    Clock::time_point start_;
};

}  // namespace orvessa::sim
