#include "firmware_tool.h"

#include <QJsonArray>

#include <QProcess>

#include <cstring>
#include <unistd.h>

namespace Cli::FirmwareTool {

QStringList arguments(const QStringList& words, const QString& device)
{
    QStringList filled = words;
    for (QString& word : filled)
        word.replace(QStringLiteral("{device}"), device);
    return filled;
}

Result run(const QStringList& argv, Output output)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedChannels);
    tool.setInputChannelMode(QProcess::ForwardedInputChannel);
    if (output == Output::ToStandardError)
        tool.setChildProcessModifier([] { ::dup2(STDERR_FILENO, STDOUT_FILENO); });
    tool.start(argv.first(), argv.mid(1));
    if (!tool.waitForStarted(-1))
        return Result{Result::End::NotStarted, 0, tool.errorString()};
    tool.waitForFinished(-1);
    // After a crash, QProcess's exit code is the signal's number.
    const bool killed = tool.exitStatus() == QProcess::CrashExit;
    return Result{killed ? Result::End::Killed : Result::End::Exited, tool.exitCode(), {}};
}

QString describe(const QStringList& argv, const Result& result)
{
    const QString program = QStringLiteral("'%1'").arg(argv.first());
    switch (result.end) {
    case Result::End::Exited:
        return QStringLiteral("%1 exited with status %2").arg(program).arg(result.code);
    case Result::End::Killed: {
        const char* abbreviation = ::sigabbrev_np(result.code);
        return QStringLiteral("%1 was killed by signal %2%3")
            .arg(program)
            .arg(result.code)
            .arg(abbreviation ? QStringLiteral(" (SIG%1)").arg(QLatin1String(abbreviation)) : QString());
    }
    case Result::End::NotStarted:
        break;
    }
    return QStringLiteral("cannot start %1: %2").arg(program, result.error);
}

}  // namespace Cli::FirmwareTool

namespace Cli {

QJsonObject toolObject(const QStringList& argv, const FirmwareTool::Result& result)
{
    QJsonObject object{{QStringLiteral("command"), QJsonArray::fromStringList(argv)}};
    switch (result.end) {
    case FirmwareTool::Result::End::Exited:
        object.insert(QStringLiteral("exit_status"), result.code);
        break;
    case FirmwareTool::Result::End::Killed:
        object.insert(QStringLiteral("signal"), result.code);
        break;
    case FirmwareTool::Result::End::NotStarted:
        object.insert(QStringLiteral("error"), FirmwareTool::describe(argv, result));
        break;
    }
    return object;
}

}  // namespace Cli
