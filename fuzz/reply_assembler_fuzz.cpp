// libFuzzer target for ReplyAssembler (protocol/reply_assembler.cpp).
//
// The input is a sequence of events. Each step starts with a control byte c:
//
//   0x00..0x7F  receive event, the read returns (c & 3) + 1 bytes (1 to 4),
//               which follow the control byte
//   0x80..0xBF  receive event, long read of ((c & 0x3F) + 1) * 8 bytes
//               (8 to 512), which follow the control byte
//   0xC0..0xDF  any other event (not a receive event)
//   0xE0..0xE3  burst: one count byte k and then (c & 3) + 1 pattern bytes
//               follow; the step is ((k & 31) + 1) << ((k >> 5) + 1) receive
//               events (2 to 8192; k = 0xF0 gives 4352, 0xFF gives 8192) of
//               one byte each, cycling through the pattern. This is how the
//               trace gets past its 4096-entry bound, and its ring wraps,
//               within a short input; most bursts are far shorter, and the
//               range is kept off 0xFF, which mutations insert often.
//   0xE4..0xFF  receive event whose read returned nothing
//
// A read cut short by the end of the input returns whatever bytes remain
// (possibly none); a burst cut short ends the input. The bursts of one input
// make at most 12289 events together (enough to pass the bound and wrap the
// ring); beyond that a burst step makes none, which bounds the cost of an
// input.
//
// Next to the assembler runs a deliberately simple model (its own five slots,
// position, state word, last read, and a deque of trace entries bounded at
// 4096). After every event, and after every reset() that follows a recognised
// reply (as the window does), the assembler must agree with the model;
// otherwise the target prints what differs and aborts.
//
// Rxpos, the slots, Stateword, the reply kind, Rxbuf, and traceEntries()
// against the model and the bound are checked after every event. Rxhex()
// rebuilds the whole trace text on every call (milliseconds at 4096 entries
// under the sanitizers), so checking it after every event of a long trace
// would make fuzzing quadratic. It is compared in full with the model's trace
// after every event while the trace holds at most 64 entries (where replies
// are recognised), after every recognised reply and every reset(), after the
// first and the last event of a burst, on the events around the trace reaching
// its bound and its ring wrapping, on every 4096th event, and after the last
// event of the input.

#include "reply_assembler.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>

// Coverage feedback comes from the assembler, the event decoder and
// noteOutcome(), not from the model, the checks and the loop of a burst: their
// loops would otherwise reward ever longer inputs for no gain.
#define NO_COVERAGE __attribute__((no_sanitize("coverage")))

namespace {

using Reply = ReplyAssembler::Reply;

constexpr std::size_t ModelTraceLimit = 4096;
constexpr std::size_t BurstEventsPerInput = 3 * ModelTraceLimit + 1;

NO_COVERAGE const char* replyName(Reply r)
{
    switch (r) {
    case Reply::None:
        return "None";
    case Reply::Status:
        return "Status";
    case Reply::UpgradeReady:
        return "UpgradeReady";
    }
    return "?";
}

NO_COVERAGE std::string hexEntry(std::uint8_t byte)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    if (byte >= 16)
        s += digits[byte >> 4];
    s += digits[byte & 15];
    return s;
}

struct Model {
    std::array<std::uint8_t, 5> frame{};
    int pos = 0;
    std::optional<std::uint16_t> stateword;
    std::string lastRead;
    std::deque<std::string> trace;
    std::size_t filed = 0;  // bytes filed since the last reset()

    NO_COVERAGE Reply event(bool isReceive, const std::string& read)
    {
        if (pos > 4)
            pos = 0;
        if (isReceive) {
            lastRead = read;
            if (!read.empty()) {
                const auto byte = static_cast<std::uint8_t>(read.back());
                trace.push_back(hexEntry(byte));
                ++filed;
                if (trace.size() > ModelTraceLimit)
                    trace.pop_front();
                frame[static_cast<std::size_t>(pos)] = byte;
                pos += 1;
            }
        }
        if (pos == 4 && frame[3] == 'd')
            return frame[1] == 'u' && frame[2] == 'p' ? Reply::UpgradeReady : Reply::None;
        if (pos == 4 && frame[3] == 't' && frame[0] == 0) {
            stateword = static_cast<std::uint16_t>(frame[1] + 256 * frame[2]);
            return Reply::Status;
        }
        return Reply::None;
    }

    NO_COVERAGE void reset()
    {
        trace.clear();
        filed = 0;
        pos = 0;
    }
};

volatile int outcomeSink;

// Left unoptimised and instrumented on purpose: one branch for each reply kind
// at each window position, so that the fuzzer is rewarded for reaching all of
// them, even where the assembler decides without a branch of its own.
__attribute__((noinline, optnone)) void noteOutcome(Reply got, int rxpos)
{
    // One outcome a line keeps the table readable.
    // clang-format off
    switch (static_cast<int>(got) * 8 + rxpos) {
    case 0: outcomeSink = 0; break;
    case 1: outcomeSink = 1; break;
    case 2: outcomeSink = 2; break;
    case 3: outcomeSink = 3; break;
    case 4: outcomeSink = 4; break;
    case 5: outcomeSink = 5; break;
    case 8: outcomeSink = 8; break;
    case 9: outcomeSink = 9; break;
    case 10: outcomeSink = 10; break;
    case 11: outcomeSink = 11; break;
    case 12: outcomeSink = 12; break;
    case 13: outcomeSink = 13; break;
    case 16: outcomeSink = 16; break;
    case 17: outcomeSink = 17; break;
    case 18: outcomeSink = 18; break;
    case 19: outcomeSink = 19; break;
    case 20: outcomeSink = 20; break;
    case 21: outcomeSink = 21; break;
    default: outcomeSink = -1; break;
    }
    // clang-format on
}

// Context for failure messages.
struct Where {
    std::size_t step = 0;    // index of the step (control byte) in the input
    std::size_t offset = 0;  // offset of its control byte
    std::size_t event = 0;   // running event number
    const char* what = "";
};

[[noreturn]] NO_COVERAGE void fail(const Where& w, const std::string& message)
{
    std::fprintf(stderr,
                 "\n*** reply_assembler_fuzz: invariant violated at event %zu (step %zu, input offset %zu, %s)\n",
                 w.event, w.step, w.offset, w.what);
    std::fprintf(stderr, "*** %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

NO_COVERAGE std::string num(long long v) { return std::to_string(v); }

NO_COVERAGE std::string optText(const std::optional<std::uint16_t>& v) { return v ? num(*v) : std::string("(none)"); }

NO_COVERAGE std::string shorten(const std::string& s)
{
    constexpr std::size_t keep = 120;
    if (s.size() <= 2 * keep)
        return s;
    return s.substr(0, keep) + " ... " + s.substr(s.size() - keep);
}

NO_COVERAGE std::string bytesText(const std::string& bytes)
{
    std::string s;
    for (unsigned char c : bytes) {
        s += hexEntry(c);
        s += ' ';
    }
    return shorten(s);
}

NO_COVERAGE std::string modelTraceText(const Model& m)
{
    std::string s;
    s.reserve(m.trace.size() * 3);
    for (const auto& e : m.trace) {
        s += e;
        s += ' ';
    }
    return s;
}

// Whether the text is the model's trace entries, each followed by one space.
NO_COVERAGE bool sameTrace(const QString& text, const Model& m)
{
    const QChar* c = text.constData();
    const QChar* const end = c + text.size();
    for (const std::string& e : m.trace) {
        for (char ch : e) {
            if (c == end || *c != QLatin1Char(ch))
                return false;
            ++c;
        }
        if (c == end || *c != QLatin1Char(' '))
            return false;
        ++c;
    }
    return c == end;
}

// Everything that must hold between any two events.
NO_COVERAGE void checkState(const ReplyAssembler& a, const Model& m, const Where& w, bool fullTrace)
{
    const int pos = a.Rxpos();
    if (pos < 0 || pos > 5)
        fail(w, "Rxpos " + num(pos) + " is outside 0..5");
    if (pos != m.pos)
        fail(w, "Rxpos is " + num(pos) + ", the model has " + num(m.pos));

    for (int i = 0; i < 5; ++i) {
        const std::uint8_t want = m.frame[static_cast<std::size_t>(i)];
        if (a.Rxframe(i) != want)
            fail(w, "slot " + num(i) + " holds " + hexEntry(a.Rxframe(i)) + ", the model has " + hexEntry(want));
    }

    if (a.Stateword() != m.stateword)
        fail(w, "Stateword is " + optText(a.Stateword()) + ", the model has " + optText(m.stateword));

    const QByteArray& buf = a.Rxbuf();
    const std::string bufBytes(buf.constData(), static_cast<std::size_t>(buf.size()));
    if (bufBytes != m.lastRead)
        fail(w, "Rxbuf [" + bytesText(bufBytes) + "] is not the last read [" + bytesText(m.lastRead) + "]");

    const int entries = a.traceEntries();
    if (entries < 0 || entries > static_cast<int>(ModelTraceLimit))
        fail(w, "traceEntries() is " + num(entries) + ", outside 0..4096");
    if (static_cast<std::size_t>(entries) != m.trace.size())
        fail(w, "traceEntries() is " + num(entries) + ", the model has " + num(static_cast<long long>(m.trace.size())));

    if (!fullTrace)
        return;

    // Rxhex(): entries separated and terminated by single spaces, equal to
    // the model's trace.
    const QString hex = a.Rxhex();
    if (!hex.isEmpty() && !hex.endsWith(QLatin1Char(' ')))
        fail(w, "Rxhex() does not end with a space: " + shorten(hex.toStdString()));
    const long long spaces = hex.count(QLatin1Char(' '));
    if (spaces != entries)
        fail(w, "Rxhex() has " + num(spaces) + " entries, traceEntries() says " + num(entries));
    if (spaces > static_cast<long long>(ModelTraceLimit))
        fail(w, "Rxhex() has " + num(spaces) + " entries, more than 4096");
    if (!sameTrace(hex, m))
        fail(w, "Rxhex() differs from the model's trace:\n***   Rxhex: " + shorten(hex.toStdString()) +
                    "\n***   model: " + shorten(modelTraceText(m)));
}

struct Runner {
    ReplyAssembler a;
    Model m;
    Where w;

    // Whether to compare Rxhex() in full after this event (see the top).
    NO_COVERAGE bool fullTraceCheck(bool recognised) const
    {
        if (m.trace.size() <= 64 || recognised || w.event % 4096 == 0)
            return true;
        const std::size_t f = m.filed;
        const std::size_t r = f % ModelTraceLimit;
        return f + 1 >= ModelTraceLimit && (r + 1 == ModelTraceLimit || r <= 1);
    }

    // count one-byte reads cycling through the pattern's bytes (1 to 4).
    NO_COVERAGE void burst(std::size_t count, const std::uint8_t* patternBytes, std::size_t patternLength)
    {
        std::array<QByteArray, 4> pattern;
        for (std::size_t p = 0; p < patternLength; ++p)
            pattern[p] = QByteArray(1, static_cast<char>(patternBytes[p]));
        for (std::size_t k = 0; k < count; ++k)
            event(true, pattern[k % patternLength], k == 0 || k + 1 == count);
    }

    // alwaysFull: compare Rxhex() in full whatever the trace's length.
    NO_COVERAGE void event(bool isReceive, const QByteArray& read = {}, bool alwaysFull = false)
    {
        ++w.event;
        const std::optional<std::uint16_t> before = a.Stateword();

        const Reply got = isReceive ? a.receive(read) : a.otherEvent();
        const Reply want = m.event(isReceive, std::string(read.constData(), static_cast<std::size_t>(read.size())));
        noteOutcome(got, a.Rxpos());

        if (got != want)
            fail(w, std::string("reply is ") + replyName(got) + ", the model recognises " + replyName(want));
        if (got != Reply::Status && a.Stateword() != before)
            fail(w, "Stateword changed from " + optText(before) + " to " + optText(a.Stateword()) +
                        " without a status reply");
        if (got == Reply::Status) {
            const auto expected = static_cast<std::uint16_t>(a.Rxframe(1) + 256u * a.Rxframe(2));
            if (a.Stateword() != expected)
                fail(w, "Stateword after a status reply is " + optText(a.Stateword()) + ", slot1 + 256*slot2 is " +
                            num(expected));
        }
        checkState(a, m, w, alwaysFull || fullTraceCheck(got != Reply::None));

        if (got != Reply::None) {
            // As the window does once it has acted on the reply.
            const std::optional<std::uint16_t> recognised = a.Stateword();
            a.reset();
            m.reset();
            const char* const previous = w.what;
            w.what = "after reset()";
            if (a.traceEntries() != 0 || !a.Rxhex().isEmpty() || a.Rxpos() != 0)
                fail(w, "reset() left " + num(a.traceEntries()) + " trace entries and Rxpos " + num(a.Rxpos()));
            if (a.Stateword() != recognised)
                fail(w, "reset() changed Stateword from " + optText(recognised) + " to " + optText(a.Stateword()));
            checkState(a, m, w, true);
            w.what = previous;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Runner r;
    std::size_t burstBudget = BurstEventsPerInput;
    std::size_t i = 0;
    std::size_t step = 0;
    while (i < size) {
        r.w.step = step++;
        r.w.offset = i;
        const std::uint8_t c = data[i++];

        if (c < 0xC0) {
            const std::size_t want =
                c < 0x80 ? static_cast<std::size_t>(c & 3) + 1 : (static_cast<std::size_t>(c & 0x3F) + 1) * 8;
            const std::size_t n = want < size - i ? want : size - i;
            r.w.what = c < 0x80 ? "short read" : "long read";
            r.event(true, QByteArray(reinterpret_cast<const char*>(data + i), static_cast<qsizetype>(n)));
            i += n;
        } else if (c < 0xE0) {
            r.w.what = "other event";
            r.event(false);
        } else if (c >= 0xE4) {
            r.w.what = "empty read";
            r.event(true, QByteArray());
        } else {
            const std::size_t patternLength = static_cast<std::size_t>(c & 3) + 1;
            if (size - i < 1 + patternLength)
                break;
            std::size_t count = (static_cast<std::size_t>(data[i] & 31) + 1) << ((data[i] >> 5) + 1);
            if (count > burstBudget)
                count = burstBudget;
            burstBudget -= count;
            r.w.what = "burst of one-byte reads";
            r.burst(count, data + i + 1, patternLength);
            i += 1 + patternLength;
        }
    }
    r.w.what = "end of input";
    checkState(r.a, r.m, r.w, true);
    return 0;
}
