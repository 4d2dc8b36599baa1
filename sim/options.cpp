#include "options.h"

#include <charconv>
#include <functional>
#include <map>

namespace orvessa::sim {

namespace {

constexpr std::uint64_t kMaxSplitDelayMs = 60'000;
constexpr double kMaxNoiseRate = 100'000.0;

// Decimal or 0x-prefixed hexadecimal, no sign, no trailing characters.
std::optional<std::uint64_t> parseUnsigned(std::string_view text, int base = 0)
{
    if (base == 0) {
        base = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            text.remove_prefix(2);
            base = 16;
        }
    }
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc{} || ptr != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseRate(std::string_view text)
{
    double value = 0.0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (text.empty() || ec != std::errc{} || ptr != end) {
        return std::nullopt;
    }
    return value;
}

// "41" or "41,42" or "0x41,7f": comma-separated bytes in hex.
std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view text)
{
    std::vector<std::uint8_t> bytes;
    while (true) {
        const auto comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        if (item.size() > 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X')) {
            item.remove_prefix(2);
        }
        const auto value = item.size() <= 2 ? parseUnsigned(item, 16) : std::nullopt;
        if (!value) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(*value));
        if (comma == std::string_view::npos) {
            return bytes;
        }
        text.remove_prefix(comma + 1);
    }
}

// Appending avoids a GCC 12 -Wrestrict false positive on "lit" + std::string.
template <typename... Parts>
std::string concat(const Parts&... parts)
{
    std::string out;
    (out.append(std::string_view(parts)), ...);
    return out;
}

std::string quoted(std::string_view s) { return concat("'", s, "'"); }

using ValueSetter = std::function<std::optional<std::string>(Options&, std::string_view)>;
using FlagSetter = std::function<void(Options&)>;

const std::map<std::string_view, FlagSetter>& flags()
{
    static const std::map<std::string_view, FlagSetter> table = {
        {"--help", [](Options& o) { o.help = true; }},
        {"-h", [](Options& o) { o.help = true; }},
        {"--silent", [](Options& o) { o.silent = true; }},
        {"--stuck", [](Options& o) { o.stuck = true; }},
        {"--log", [](Options& o) { o.log = true; }},
        {"--exit-on-close", [](Options& o) { o.exitOnClose = true; }},
        {"--fast", [](Options& o) { o.fast = true; }},
    };
    return table;
}

// Each setter returns an error text (without the option name) or nothing.
const std::map<std::string_view, ValueSetter>& valueOptions()
{
    static const std::map<std::string_view, ValueSetter> table = {
        {"--word",
         [](Options& o, std::string_view v) -> std::optional<std::string> {
             const auto n = parseUnsigned(v);
             if (!n)
                 return concat("expects a number (decimal or 0x hex), got ", quoted(v));
             if (*n > 0x0FFF)
                 return concat("value ", quoted(v), " is out of range 0..4095");
             o.word = static_cast<std::uint16_t>(*n);
             return std::nullopt;
         }},
        {"--answer-first",
         [](Options& o, std::string_view v) -> std::optional<std::string> {
             const auto n = parseUnsigned(v);
             if (!n)
                 return concat("expects a non-negative count, got ", quoted(v));
             o.answerFirst = *n;
             return std::nullopt;
         }},
        {"--stray",
         [](Options& o, std::string_view v) -> std::optional<std::string> {
             auto bytes = parseHexBytes(v);
             if (!bytes)
                 return concat("expects hex bytes like 41 or 41,42, got ", quoted(v));
             o.stray = std::move(*bytes);
             return std::nullopt;
         }},
        {"--split-delay",
         [](Options& o, std::string_view v) -> std::optional<std::string> {
             const auto n = parseUnsigned(v);
             if (!n)
                 return concat("expects milliseconds as a non-negative integer, got ", quoted(v));
             if (*n > kMaxSplitDelayMs)
                 return concat("value ", quoted(v), " is out of range 0..60000");
             o.splitDelay = std::chrono::milliseconds(*n);
             return std::nullopt;
         }},
        {"--noise",
         [](Options& o, std::string_view v) -> std::optional<std::string> {
             const auto r = parseRate(v);
             if (!r)
                 return concat("expects a rate in bytes per second, got ", quoted(v));
             if (!(*r > 0.0) || *r > kMaxNoiseRate) {
                 return concat("rate ", quoted(v), " is out of range (0, 100000]");
             }
             o.noiseRate = *r;
             return std::nullopt;
         }},
        {"--noise-seed",
         [](Options& o, std::string_view v) -> std::optional<std::string> {
             const auto n = parseUnsigned(v);
             if (!n)
                 return concat("expects an unsigned 64-bit number, got ", quoted(v));
             o.noiseSeed = *n;
             return std::nullopt;
         }},
        {"--link",
         [](Options& o, std::string_view v) -> std::optional<std::string> {
             if (v.empty())
                 return "expects a non-empty path";
             o.linkPath = std::string(v);
             return std::nullopt;
         }},
    };
    return table;
}

}  // namespace

std::variant<Options, OptionError> parseOptions(std::span<const std::string_view> args)
{
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::optional<std::string_view> inlineValue;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            inlineValue = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        if (const auto flag = flags().find(arg); flag != flags().end()) {
            if (inlineValue) {
                return OptionError{concat("option ", arg, " takes no value")};
            }
            flag->second(options);
            continue;
        }
        const auto opt = valueOptions().find(arg);
        if (opt == valueOptions().end()) {
            if (!arg.starts_with('-')) {
                return OptionError{concat("unexpected argument ", quoted(arg))};
            }
            return OptionError{concat("unknown option ", quoted(arg))};
        }
        std::string_view value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return OptionError{concat("option ", arg, " needs a value")};
        }
        if (auto problem = opt->second(options, value)) {
            return OptionError{concat("option ", arg, ": ", *problem)};
        }
    }
    return options;
}

std::string usageText()
{
    return R"(Usage: orvessa-sim [OPTIONS]

Simulates an Orvessa 12-outlet power controller on a pseudo-terminal.
The slave device path (e.g. /dev/pts/3) is printed as the first line of
standard output; open it at 9600 8N1 like the real RS-232 port.

Options:
  --word N           start output word, decimal or 0x hex, 0..4095 (default 0)
  --silent           never answer anything (commands are still obeyed)
  --stuck            outlets never switch: channel, all-on and all-off commands
                     are ignored (status queries are still answered)
  --answer-first N   answer only the first N status queries
  --stray HEX        send these bytes before each reply, e.g. 41 or 41,42
  --split-delay MS   write replies one byte at a time, MS milliseconds apart
                     (0..60000; stray bytes count as part of the reply)
  --noise RATE       send random noise bytes at RATE bytes per second while the
                     port is open (0 < RATE <= 100000, fractions allowed)
  --noise-seed N     seed of the noise generator (default 1)
  --log              print each received command to standard output as
                     "SECONDS COMMAND", SECONDS being the time since start with
                     microseconds (e.g. "12.345678 s00t", "12.400001 b");
                     " ignored" is appended when upgrade mode or --stuck
                     ignored it
  --link PATH        create a symlink PATH to the slave device (a symlink
                     already there is replaced); removed on exit
  --exit-on-close    exit with status 0 when the panel closes the port after
                     having opened it (default: keep running for a reopen)
  --fast             no line pacing (default: at most one byte per 1.042 ms,
                     as a 9600 baud line allows)
  -h, --help         print this help and exit

Options taking a value accept "--opt VALUE" and "--opt=VALUE".
Exit status: 0 on SIGINT/SIGTERM/SIGHUP or --exit-on-close, 1 on a runtime
failure (pty or link), 2 on a bad command line.
)";
}

}  // namespace orvessa::sim
