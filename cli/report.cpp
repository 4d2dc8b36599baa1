#include "report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

namespace Cli::Report {

namespace {

QJsonArray outletArray(std::uint16_t word, const QList<int>& outlets, const OutletNames& names)
{
    QJsonArray array;
    for (int outlet : outlets) {
        const QString& name = names.at(std::size_t(outlet - 1));
        array.append(QJsonObject{
            {QStringLiteral("number"), outlet},
            {QStringLiteral("name"), name.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(name)},
            {QStringLiteral("on"), isOn(word, outlet)},
        });
    }
    return array;
}

void addWhere(QJsonObject& object, const Where& where)
{
    object.insert(QStringLiteral("port"), where.port);
    object.insert(QStringLiteral("device"), where.device);
}

}  // namespace

QJsonObject whereObject(const Where& where)
{
    QJsonObject object;
    addWhere(object, where);
    return object;
}

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

QString statusLines(std::uint16_t word, const QList<int>& outlets, const OutletNames& names)
{
    QString text;
    for (int outlet : outlets)
        text += QStringLiteral("%1: %2\n").arg(outletLabel(outlet, names), stateName(isOn(word, outlet)));
    return text;
}

QJsonObject statusObject(const Where& where, std::uint16_t word, const QList<int>& outlets, const OutletNames& names)
{
    QJsonObject object;
    addWhere(object, where);
    object.insert(QStringLiteral("word"), int(word));
    object.insert(QStringLiteral("outlets"), outletArray(word, outlets, names));
    return object;
}

QString portLines(const QList<PortAccess::PortState>& ports)
{
    int nameWidth = 0;
    int deviceWidth = 0;
    for (const auto& state : ports) {
        nameWidth = qMax(nameWidth, int(state.port.name.size()));
        deviceWidth = qMax(deviceWidth, int(state.port.device.size()));
    }
    QString text;
    for (const auto& state : ports) {
        QString line = state.port.name.leftJustified(nameWidth + 2) + state.port.device.leftJustified(deviceWidth + 2);
        if (!state.present)
            line += QStringLiteral("missing");
        else if (state.holder)
            line += QStringLiteral("present  in use by %1 (process %2)")
                        .arg(state.holder->programName())
                        .arg(state.holder->pid);
        else
            line += QStringLiteral("present  free");
        text += line + QLatin1Char('\n');
    }
    return text;
}

QJsonObject portsObject(const QList<PortAccess::PortState>& ports)
{
    QJsonArray array;
    for (const auto& state : ports) {
        QJsonValue holder(QJsonValue::Null);
        if (state.holder)
            holder = QJsonObject{{QStringLiteral("program"), state.holder->programName()},
                                 {QStringLiteral("pid"), state.holder->pid}};
        array.append(QJsonObject{
            {QStringLiteral("port"), state.port.name},
            {QStringLiteral("device"), state.port.device},
            {QStringLiteral("present"), state.present},
            {QStringLiteral("in_use"), state.holder.has_value()},
            {QStringLiteral("holder"), holder},
        });
    }
    return QJsonObject{{QStringLiteral("ports"), array}};
}

QJsonObject errorObject(const QString& message, ExitStatus status, const std::optional<Where>& where,
                        std::optional<std::uint16_t> word, const QList<int>& outlets, const OutletNames& names)
{
    QJsonObject object{{QStringLiteral("error"), message}, {QStringLiteral("status"), int(status)}};
    if (where)
        addWhere(object, *where);
    if (word) {
        object.insert(QStringLiteral("word"), int(*word));
        object.insert(QStringLiteral("outlets"), outletArray(*word, outlets, names));
    }
    return object;
}

QString jsonLine(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

}  // namespace Cli::Report
