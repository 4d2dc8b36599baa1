#include "board_events.h"

#include <QJsonDocument>

#include <utility>

namespace Serve {

BoardEvents::BoardEvents(Driver::BoardQueue& queue, StateOf stateOf, QObject* parent)
    : QObject(parent), queue_(queue), stateOf_(std::move(stateOf))
{
    connect(&queue_, &Driver::BoardQueue::stateRead, this, &BoardEvents::stateRead);
    // Queued: the queue tells some events before it has noted what they
    // change, and "open" and "answering" are taken as they are once it has.
    connect(&queue_, &Driver::BoardQueue::linkEvent, this, &BoardEvents::linkChanged, Qt::QueuedConnection);
}

std::optional<QJsonObject> BoardEvents::currentState() const
{
    const std::optional<std::uint16_t> word = queue_.lastWord();
    if (!word)
        return std::nullopt;
    return stateOf_(*word);
}

void BoardEvents::switched(const QJsonObject& change) { emit published(QStringLiteral("change"), change); }

void BoardEvents::stateRead(std::uint16_t word)
{
    // Every poll reads the state: only a difference is news.
    if (lastSent_ == word)
        return;
    lastSent_ = word;
    emit published(QStringLiteral("state"), stateOf_(word));
}

void BoardEvents::linkChanged(const QString& what)
{
    emit published(QStringLiteral("link"), QJsonObject{{QStringLiteral("what"), what},
                                                       {QStringLiteral("open"), queue_.portOpen()},
                                                       {QStringLiteral("answering"), queue_.answering()}});
}

QByteArray BoardEvents::sseText(const QString& name, const QJsonObject& data)
{
    // Compact JSON has no line breaks, so one data line holds it.
    return "event: " + name.toUtf8() + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) + "\n\n";
}

QByteArray BoardEvents::jsonLine(const QString& name, const QJsonObject& data)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("event"), name}, {QStringLiteral("data"), data}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

}  // namespace Serve
