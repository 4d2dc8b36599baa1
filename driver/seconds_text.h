#pragma once

#include <QString>

#include <optional>

namespace Driver {

// Seconds as a person writes them on the command line ("10", "0.5", at most
// three decimals), as milliseconds; nothing outside `minMs` to `maxMs`.
std::optional<int> parseSeconds(const QString& text, int minMs, int maxMs);

}  // namespace Driver
