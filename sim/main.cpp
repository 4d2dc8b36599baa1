// orvessa-sim: an Orvessa power controller simulated on a pseudo-terminal.
#include "options.h"
#include "pty_port.h"
#include "simulator.h"
#include "slave_link.h"
#include "stop_signals.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

int main(int argc, char** argv)
{
    using namespace orvessa::sim;
    const auto start = Simulator::Clock::now();

    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto parsed = parseOptions(args);
    if (const auto* error = std::get_if<OptionError>(&parsed)) {
        std::fprintf(stderr, "orvessa-sim: %s (see --help)\n", error->message.c_str());
        return 2;
    }
    const Options& options = std::get<Options>(parsed);
    if (options.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }

    try {
        const StopSignals signals;
        Simulator simulator(options, PtyPort::create(), start);
        std::optional<SlaveLink> link;
        if (!options.linkPath.empty()) {
            link.emplace(options.linkPath, simulator.slavePath());
        }
        std::printf("%s\n", simulator.slavePath().c_str());
        std::fflush(stdout);
        return simulator.run(signals);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvessa-sim: %s\n", e.what());
        return 1;
    }
}
