#pragma once

#include "reply_format.h"

#include <QByteArray>

#include <cstdint>
#include <optional>

// Finds the controller's first reply of one kind in the bytes received after
// a command was sent, whatever comes before it (noise, the tail of a late
// answer). The replies are the four bytes the reply assembler recognises
// (reply_format.h). Unlike the assembler, it needs no alignment: a reply may
// start at any byte and may be split over several reads.
class ReplyScanner {
public:
    enum class Kind { Status, UpgradeReady };
    static constexpr int ReplySize = ReplyFormat::Size;

    explicit ReplyScanner(Kind kind) : kind_(kind) {}

    // Feeds the bytes of one read; true once the reply has been found. Bytes
    // fed after that are ignored: the first reply counts.
    bool feed(const QByteArray& bytes);
    bool found() const { return reply_.has_value(); }
    // The reply's four bytes, empty while none was found.
    QByteArray reply() const { return reply_.value_or(QByteArray()); }
    // The state word of a status reply: low byte + 256 * high byte.
    std::optional<std::uint16_t> stateword() const;
    // Once found: how many bytes came before the reply.
    qint64 skipped() const { return skipped_; }

private:
    bool matches(const char* first) const;

    Kind kind_;
    QByteArray tail_;  // up to three bytes that may begin a reply
    std::optional<QByteArray> reply_;
    qint64 skipped_ = 0;
};
