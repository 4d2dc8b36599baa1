#include "output.h"

#include "exit_status.h"
#include "report.h"

#include <cstdio>

namespace Cli {

using namespace Driver;

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

int printDone(bool json, bool reset, const QString& portLabel, const Report::Where& where, std::uint16_t word,
              const QList<int>& outlets, const OutletNames& names)
{
    QJsonObject object = Report::statusObject(where, word, outlets, names);
    if (!reset) {
        printResult(json ? Report::jsonLine(object) : Report::statusLines(word, outlets, names));
    } else {
        object.insert(QStringLiteral("answers_after_reset"), true);
        printResult(json ? Report::jsonLine(object)
                         : QStringLiteral("%1: the board was reset and answers again\n").arg(portLabel));
    }
    return int(ExitStatus::Done);
}

int usageError(bool json, const QString& message)
{
    return fail(json, Report::errorObject(message + QStringLiteral(" (see orvessa --help)"), ExitStatus::Usage));
}

}  // namespace Cli
