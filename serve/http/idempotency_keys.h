#pragma once

#include "reply.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

namespace Http {

// The Idempotency-Key of a request's headers: empty when it has none, the key
// when it is 1 to 128 visible ASCII characters, otherwise why it is refused.
std::variant<QByteArray, QString> idempotencyKey(const QList<QPair<QByteArray, QByteArray>>& headers);

// The switching requests that carried an Idempotency-Key, and their answers.
// Qt's network client sends a request again when its connection closed
// before any answer; with the same key, the second is answered as the first
// was instead of switching again. At most maxKeys are remembered, each for
// maxAgeMs from its first request; the oldest are forgotten first.
class IdempotencyKeys {
public:
    using Answer = std::function<void(const Reply&)>;
    struct Entry;
    using EntryPtr = std::shared_ptr<Entry>;

    explicit IdempotencyKeys(int maxKeys = 1024, qint64 maxAgeMs = 10 * 60 * 1000);

    // A request with `key` arrived. When the key is remembered, `repeat` is
    // given its first request's answer, at once or, if `mayWait` allows it,
    // once it comes, and nothing is returned; otherwise the request is the
    // key's first, and the entry returned is settled with its answer.
    std::optional<EntryPtr> arrived(const QByteArray& key, Answer repeat, const std::function<bool()>& mayWait);
    // The first request of `entry` was answered: the requests that wait on it
    // get the same answer. When `keep` is false (it never reached the board),
    // the key is forgotten, so that the client may send it again.
    void settle(const EntryPtr& entry, const Reply& reply, bool keep);

    int size() const { return int(entries_.size()); }

private:
    void forgetOld();
    void forget(const EntryPtr& entry);

    int maxKeys_;
    qint64 maxAgeMs_;
    QElapsedTimer clock_;
    QHash<QByteArray, EntryPtr> entries_;
    std::deque<EntryPtr> order_;  // by first arrival; may hold entries forgotten already
};

}  // namespace Http
