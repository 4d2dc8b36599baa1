#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// Reading orvessa serve's event stream as its bytes arrive, in pieces of any
// size: the local socket's JSON lines and HTTP's Server-Sent Events. Every
// line and event is bounded, so that a peer that never ends one cannot fill
// the memory.
namespace Driver {

// The largest line, and the largest event, accepted.
inline constexpr qsizetype LargestStreamPiece = 1024 * 1024;

struct StreamEvent {
    QString name;
    QJsonObject data;
};

// Splits bytes into lines ended by '\n' (a '\r' before it dropped).
class LineBuffer {
public:
    LineBuffer() = default;
    explicit LineBuffer(qsizetype largest) : largest_(largest) {}
    void append(const QByteArray& bytes) { pending_ += bytes; }
    // The next whole line, without its end; nothing when none is whole yet.
    std::optional<QByteArray> next();
    // A line longer than the bound is pending.
    bool overflowed() const;
    void clear() { pending_.clear(); }

private:
    qsizetype largest_ = LargestStreamPiece;
    QByteArray pending_;
};

// Server-Sent Events: "event:" and "data:" fields, data over several lines
// joined with '\n', comments (':') and other fields ignored, a blank line
// ending the event. Data that is not a JSON object gives no event.
class SseParser {
public:
    // The events completed by `bytes`; `error` says why the stream cannot go
    // on (a line or an event over the bound), and then nothing more is read.
    QList<StreamEvent> feed(const QByteArray& bytes, QString& error);

private:
    LineBuffer lines_;
    QString name_;
    QByteArray data_;
    bool hasData_ = false;
    bool failed_ = false;
};

// One line of the local socket's stream, {"event": NAME, "data": {...}};
// nothing for any other line.
std::optional<StreamEvent> parseEventLine(const QByteArray& line);

}  // namespace Driver
