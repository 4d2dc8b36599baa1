#include "idempotency_keys.h"

#include <utility>

namespace Http {

struct IdempotencyKeys::Entry {
    QByteArray key;
    qint64 arrivedMs = 0;
    std::optional<Reply> reply;
    QList<Answer> waiting;  // repeats that came before the answer
};

namespace {

constexpr qsizetype LongestKey = 128;

bool visibleAscii(const QByteArray& text)
{
    for (const char c : text)
        if (c < 0x21 || c > 0x7e)
            return false;
    return true;
}

}  // namespace

std::variant<QByteArray, QString> idempotencyKey(const QList<QPair<QByteArray, QByteArray>>& headers)
{
    QList<QByteArray> given;
    for (const auto& [name, value] : headers)
        if (name.compare("Idempotency-Key", Qt::CaseInsensitive) == 0)
            given << value.trimmed();
    if (given.isEmpty())
        return QByteArray();
    if (given.size() > 1)
        return QStringLiteral("give one Idempotency-Key, not %1").arg(given.size());
    const QByteArray& key = given.first();
    if (key.isEmpty() || key.size() > LongestKey || !visibleAscii(key))
        return QStringLiteral("the Idempotency-Key must be 1 to %1 visible ASCII characters (a UUID will do)")
            .arg(LongestKey);
    return key;
}

IdempotencyKeys::IdempotencyKeys(int maxKeys, qint64 maxAgeMs) : maxKeys_(maxKeys), maxAgeMs_(maxAgeMs)
{
    clock_.start();
}

std::optional<IdempotencyKeys::EntryPtr> IdempotencyKeys::arrived(const QByteArray& key, Answer repeat,
                                                                  const std::function<bool()>& mayWait)
{
    forgetOld();
    if (const EntryPtr known = entries_.value(key)) {
        if (known->reply)
            repeat(*known->reply);
        else if (mayWait())
            known->waiting << std::move(repeat);
        return std::nullopt;
    }
    auto entry = std::make_shared<Entry>();
    entry->key = key;
    entry->arrivedMs = clock_.elapsed();
    entries_.insert(key, entry);
    order_.push_back(entry);
    while (order_.size() > std::size_t(maxKeys_)) {
        forget(order_.front());
        order_.pop_front();
    }
    return entry;
}

void IdempotencyKeys::settle(const EntryPtr& entry, const Reply& reply, bool keep)
{
    if (keep)
        entry->reply = reply;
    else
        forget(entry);
    // Each waiting request is answered once, even when one of them ends
    // this object's part in it.
    const QList<Answer> waiting = std::exchange(entry->waiting, {});
    for (const Answer& answer : waiting)
        answer(reply);
}

void IdempotencyKeys::forgetOld()
{
    const qint64 now = clock_.elapsed();
    while (!order_.empty() && now - order_.front()->arrivedMs > maxAgeMs_) {
        forget(order_.front());
        order_.pop_front();
    }
}

void IdempotencyKeys::forget(const EntryPtr& entry)
{
    // The key may name a later entry already, when this one was forgotten before.
    const auto found = entries_.constFind(entry->key);
    if (found != entries_.cend() && found.value() == entry)
        entries_.erase(found);
}

}  // namespace Http
