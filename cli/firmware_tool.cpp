#include "firmware_tool.h"

#include <QProcess>
#include <QRegularExpression>

namespace Cli::FirmwareTool {

namespace {

QString shellWord(const QString& text)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:@%+=,-]+$"));
    if (plain.match(text).hasMatch())
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

}  // namespace

QString commandLine(const QString& command, const QString& device)
{
    QString line = command;
    return line.replace(QStringLiteral("{device}"), shellWord(device));
}

Result run(const QString& commandLine)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedChannels);
    tool.setInputChannelMode(QProcess::ForwardedInputChannel);
    tool.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), commandLine});
    if (!tool.waitForStarted(-1))
        return Result{1, QStringLiteral("cannot run /bin/sh: %1").arg(tool.errorString())};
    tool.waitForFinished(-1);
    if (tool.exitStatus() != QProcess::NormalExit)
        return Result{1, QStringLiteral("the command was killed: %1").arg(commandLine)};
    return Result{tool.exitCode(), {}};
}

}  // namespace Cli::FirmwareTool
