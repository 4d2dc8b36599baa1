#include "output.h"

#include "exit_status.h"
#include "report.h"

#include <cstdio>

namespace Cli {

namespace {

void print(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

}  // namespace

void printResult(const QString& text) { print(stdout, text); }

void printMessage(const QString& text) { print(stderr, QStringLiteral("orvessa: ") + text + QLatin1Char('\n')); }

int fail(bool json, const QJsonObject& object)
{
    printMessage(object.value(QStringLiteral("error")).toString());
    if (json)
        printResult(Report::jsonLine(object));
    return object.value(QStringLiteral("status")).toInt();
}

int usageError(bool json, const QString& message)
{
    return fail(json, Report::errorObject(message + QStringLiteral(" (see orvessa --help)"), ExitStatus::Usage));
}

}  // namespace Cli
