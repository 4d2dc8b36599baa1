#include "request_body.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

#include <cmath>

namespace Http {

namespace {

constexpr double MaxOffTimeSeconds = 86400;

bool takesOutlets(Action action)
{
    return action == Action::On || action == Action::Off || action == Action::Toggle || action == Action::Cycle;
}

// A number from 1 to 12 (as JSON gives it) or a name.
std::optional<QString> outletText(const QJsonValue& value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (number == std::floor(number) && std::fabs(number) < 1e6)
            return QString::number(qint64(number));
    }
    return std::nullopt;
}

}  // namespace

std::optional<bool> plainState(const QByteArray& body)
{
    QByteArray text = body;
    if (text.endsWith('\n'))
        text.chop(text.endsWith("\r\n") ? 2 : 1);
    if (text == "1")
        return true;
    if (text == "0")
        return false;
    return std::nullopt;
}

std::variant<ApiRequest, QString> apiRequest(Action action, const QByteArray& body)
{
    ApiRequest request;
    QJsonObject object;
    if (!body.trimmed().isEmpty()) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(body, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return QStringLiteral("the body must be a JSON object, e.g. {\"outlets\": [3]}");
        object = document.object();
    }
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString key = it.key();
        if (key == QLatin1String("outlets") && takesOutlets(action)) {
            if (!it->isArray())
                return QStringLiteral("\"outlets\" must be a list of outlet numbers or names");
            for (const QJsonValue& value : it->toArray()) {
                const std::optional<QString> outlet = outletText(value);
                if (!outlet)
                    return QStringLiteral("\"outlets\" must be a list of outlet numbers or names");
                request.outlets << *outlet;
            }
        } else if (key == QLatin1String("off_time") && action == Action::Cycle) {
            const double seconds = it->toDouble(-1);
            if (!it->isDouble() || seconds < 0 || seconds > MaxOffTimeSeconds)
                return QStringLiteral("\"off_time\" must be seconds from 0 to 86400");
            request.offTimeMs = int(std::lround(seconds * 1000));
        } else {
            return QStringLiteral("unknown field \"%1\" for this request").arg(key);
        }
    }
    if (takesOutlets(action) && request.outlets.isEmpty())
        return QStringLiteral("give the outlets, e.g. {\"outlets\": [3, \"router\"]}");
    return request;
}

QStringList statusOutlets(const QString& query)
{
    QStringList outlets;
    for (const QString& value : QUrlQuery(query).allQueryItemValues(QStringLiteral("outlets"), QUrl::FullyDecoded))
        outlets << value.split(QLatin1Char(','), Qt::SkipEmptyParts);
    return outlets;
}

}  // namespace Http
