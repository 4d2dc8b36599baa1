#include "command_log.h"

namespace orvessa::sim {

std::string formatLogLine(std::chrono::microseconds sinceStart, const ModelEvent& event)
{
    const long long us = sinceStart.count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld.%06lld ", us / 1'000'000, us % 1'000'000);
    std::string line = stamp + event.text;
    if (!event.obeyed) {
        line += " ignored";
    }
    return line + '\n';
}

CommandLog::CommandLog(bool enabled, std::FILE* out, Clock::time_point start)
    : enabled_(enabled), out_(out), start_(start)
{}

void CommandLog::write(const ModelEvent& event, Clock::time_point now)
{
    if (!enabled_) {
        return;
    }
    const auto since = std::chrono::duration_cast<std::chrono::microseconds>(now - start_);
    const std::string line = formatLogLine(since, event);
    std::fputs(line.c_str(), out_);
    std::fflush(out_);  // readers (tests, tail -f) see each line at once
}

}  // namespace orvessa::sim
