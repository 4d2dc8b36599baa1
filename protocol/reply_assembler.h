#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

// Files the controller's bytes into a five-slot window and recognises its two
// four-byte replies there:
//   status reply         0x00, low byte, high byte, 't'
//   upgrade-ready reply  any byte, 'u', 'p', 'd'
// A reply is recognised only when its first byte went into slot 0. While
// nothing is recognised the window cycles through five bytes at a time, and
// the slots are never cleared: slot 3 keeps the type byte of the last group,
// which is what the link watchdog looks at.
class ReplyAssembler {
public:
    enum class Reply { None, Status, UpgradeReady };

    // The trace keeps the most recent entries only, so endless noise cannot
    // exhaust memory; an ordinary reply's trace is far shorter.
    static constexpr int TraceLimit = 4096;
    static constexpr int FrameSlots = 5;

    // A receive event whose read returned `bytes`: only the last byte of the
    // read is traced and filed. An empty read is handled like any other event.
    Reply receive(const QByteArray& bytes);
    // Any event that is not a receive event still runs the recognition.
    Reply otherEvent();

    // After a recognised reply has been acted on: start a new trace and group.
    void reset();

    int Rxpos() const { return rxpos_; }
    std::uint8_t Rxframe(int slot) const { return rxframe_.at(static_cast<std::size_t>(slot)); }
    const QByteArray& Rxbuf() const { return rxbuf_; }
    // No value until the first status reply.
    std::optional<std::uint16_t> Stateword() const { return stateword_; }
    // Each filed byte in upper-case hexadecimal without leading zeros, each followed by one space.
    QString Rxhex() const;
    int traceEntries() const { return traceCount_; }

private:
    void wrap();
    void file(std::uint8_t byte);
    Reply recognise();

    int rxpos_ = 0;
    std::array<std::uint8_t, FrameSlots> rxframe_{};
    QByteArray rxbuf_;
    std::optional<std::uint16_t> stateword_;
    // Ring of the most recent traced bytes.
    std::array<std::uint8_t, TraceLimit> trace_{};
    int traceStart_ = 0;
    int traceCount_ = 0;
};
