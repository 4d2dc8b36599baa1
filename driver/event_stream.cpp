#include "event_stream.h"

#include <QJsonDocument>

namespace Driver {

std::optional<QByteArray> LineBuffer::next()
{
    const qsizetype end = pending_.indexOf('\n');
    if (end < 0 || end > largest_)
        return std::nullopt;
    QByteArray line = pending_.left(end);
    pending_.remove(0, end + 1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

bool LineBuffer::overflowed() const
{
    const qsizetype end = pending_.indexOf('\n');
    return end > largest_ || (end < 0 && pending_.size() > largest_);
}

QList<StreamEvent> SseParser::feed(const QByteArray& bytes, QString& error)
{
    QList<StreamEvent> events;
    if (failed_)
        return events;
    lines_.append(bytes);
    while (const std::optional<QByteArray> line = lines_.next()) {
        if (line->isEmpty()) {
            if (hasData_) {
                const QJsonDocument document = QJsonDocument::fromJson(data_);
                if (document.isObject())
                    events << StreamEvent{name_.isEmpty() ? QStringLiteral("message") : name_, document.object()};
            }
            name_.clear();
            data_.clear();
            hasData_ = false;
            continue;
        }
        if (line->startsWith(':'))
            continue;
        const qsizetype colon = line->indexOf(':');
        const QByteArray field = colon < 0 ? *line : line->left(colon);
        QByteArray value = colon < 0 ? QByteArray() : line->mid(colon + 1);
        if (value.startsWith(' '))
            value.remove(0, 1);
        if (field == "event") {
            name_ = QString::fromUtf8(value);
        } else if (field == "data") {
            if (hasData_)
                data_ += '\n';
            data_ += value;
            hasData_ = true;
            if (data_.size() > LargestStreamPiece) {
                error = QStringLiteral("an event is longer than %1 bytes").arg(LargestStreamPiece);
                break;
            }
        }
    }
    if (error.isEmpty() && lines_.overflowed())
        error = QStringLiteral("a line is longer than %1 bytes").arg(LargestStreamPiece);
    if (!error.isEmpty()) {
        failed_ = true;
        lines_.clear();
        data_.clear();
    }
    return events;
}

std::optional<StreamEvent> parseEventLine(const QByteArray& line)
{
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    const QJsonValue name = object.value(QStringLiteral("event"));
    const QJsonValue data = object.value(QStringLiteral("data"));
    if (!name.isString() || !data.isObject())
        return std::nullopt;
    return StreamEvent{name.toString(), data.toObject()};
}

}  // namespace Driver
