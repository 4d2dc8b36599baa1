#include "reply.h"

#include "report.h"

#include <QJsonDocument>

namespace Http {

Reply plainState(bool on)
{
    return Reply{
        200, "text/plain; charset=utf-8", on ? "1" : "0", {}, on ? QStringLiteral("on") : QStringLiteral("off")};
}

Reply json(int status, const QJsonObject& object, const QString& outcome)
{
    return Reply{status, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n', {}, outcome};
}

Reply error(int status, const QString& message, ExitStatus exitStatus)
{
    return error(status, Cli::Report::errorObject(message, exitStatus));
}

Reply error(int status, const QJsonObject& errorObject)
{
    return json(status, errorObject, errorObject.value(QStringLiteral("error")).toString());
}

}  // namespace Http
