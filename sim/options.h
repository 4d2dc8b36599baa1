// Command-line options of orvessa-sim and their parser.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvessa::sim {

struct Options {
    bool help = false;
    std::uint16_t word = 0;
    bool silent = false;
    bool stuck = false;
    std::optional<std::uint64_t> answerFirst;
    std::vector<std::uint8_t> stray;
    std::chrono::milliseconds splitDelay{0};
    double noiseRate = 0.0;
    std::uint64_t noiseSeed = 1;
    bool log = false;
    bool exitOnClose = false;
    bool fast = false;
    std::string linkPath;
};

struct OptionError {
    std::string message;  // one line naming the offending option or value
};

std::variant<Options, OptionError> parseOptions(std::span<const std::string_view> args);

std::string usageText();

}  // namespace orvessa::sim
