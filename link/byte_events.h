#pragma once

#include <QByteArray>
#include <QObject>

#include <functional>

// Received bytes handed on one posted event each, in order: bytes that come
// together wait their turn and are never lost, and each byte's event runs as
// an event of its own, also while the one before waits in a nested loop (a
// modal box).
class ByteEvents final : public QObject {
public:
    // `delivered` is called as each byte becomes the one take() returns.
    explicit ByteEvents(std::function<void()> delivered) : delivered_(std::move(delivered)) {}

    void add(const QByteArray& bytes);
    // The bytes delivered and not taken yet; they leave. A byte the handler
    // did not take stays ahead of the next one.
    QByteArray take();
    // Forgets the bytes waiting and delivered: they belong to a session that ended.
    void clear();
    // Bytes added and not delivered yet.
    qsizetype waiting() const { return pending_.size() - head_; }

private:
    void post();
    void deliverOne();

    std::function<void()> delivered_;
    QByteArray pending_;  // bytes from head_ on are not yet delivered
    qsizetype head_ = 0;
    QByteArray current_;  // delivered, not taken
    bool posted_ = false;
};
