#include "reply.h"

#include "report.h"

#include <QFile>
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
    return error(status, Driver::Report::errorObject(message, exitStatus));
}

Reply error(int status, const QJsonObject& errorObject)
{
    return json(status, errorObject, errorObject.value(QStringLiteral("error")).toString());
}

Reply page(const PageFile& file)
{
    QFile resource(QString::fromLatin1(file.resource));
    if (!resource.open(QIODevice::ReadOnly))
        return error(500, QStringLiteral("the page's file %1 is missing from this build").arg(file.resource));
    return Reply{200,
                 file.contentType,
                 resource.readAll(),
                 {{"Content-Security-Policy",
                   "default-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"}},
                 QStringLiteral("page")};
}

QString loggable(const QByteArray& bytes)
{
    QString text;
    for (const char c : bytes.left(120))
        text += (c >= 0x20 && c < 0x7f) ? QChar::fromLatin1(c) : QChar(u'?');
    return bytes.size() > 120 ? text + QStringLiteral("...") : text;
}

}  // namespace Http
