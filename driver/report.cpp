#include "report.h"

#include "port_map.h"
#include "port_wording.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

namespace Driver::Report {

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

QJsonValue lockValue(const std::optional<LockOwner>& lock)
{
    if (!lock)
        return QJsonValue(QJsonValue::Null);
    return QJsonObject{
        {QStringLiteral("program"), lock->program.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(lock->program)},
        {QStringLiteral("pid"), lock->pid},
        {QStringLiteral("lock_file"), lock->lockFile},
        {QStringLiteral("stale"), lock->stale()},
        {QStringLiteral("description"), lock->describe()},
    };
}

QString reasonName(OpenFailure::Kind kind)
{
    switch (kind) {
    case OpenFailure::Kind::Missing:
        return QStringLiteral("missing");
    case OpenFailure::Kind::Busy:
        return QStringLiteral("busy");
    case OpenFailure::Kind::NotPermitted:
        return QStringLiteral("not_permitted");
    case OpenFailure::Kind::NotSerial:
        return QStringLiteral("not_serial");
    case OpenFailure::Kind::Other:
        break;
    }
    return QStringLiteral("other");
}

void addWhere(QJsonObject& object, const Where& where)
{
    object.insert(QStringLiteral("port"), where.port);
    object.insert(QStringLiteral("device"), where.realDevice);
}

}  // namespace

QJsonObject whereObject(const Where& where)
{
    QJsonObject object;
    addWhere(object, where);
    return object;
}

QString silenceHint(const QString& port)
{
    return QStringLiteral(". Check that the board is powered and its cable plugged in, that %1 is the board's port "
                          "(orvessa ports lists them), or give a longer --timeout")
        .arg(port);
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
    int pathWidth = 0;
    for (const auto& state : ports) {
        nameWidth = qMax(nameWidth, int(state.port.name.size()));
        pathWidth = qMax(pathWidth, int(state.port.mappedPath.size()));
    }
    QString text;
    for (const auto& state : ports) {
        QString line =
            state.port.name.leftJustified(nameWidth + 2) + state.port.mappedPath.leftJustified(pathWidth + 2);
        if (!state.present)
            line += QStringLiteral("missing");
        else if (state.lock && !state.lock->stale())
            line += QStringLiteral("present  in use by ") + state.lock->describe();
        else if (state.lock)
            line += QStringLiteral("present  free; ") + state.lock->describe();
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
        array.append(QJsonObject{
            {QStringLiteral("port"), state.port.name},
            {QStringLiteral("device"), state.port.mappedPath},
            {QStringLiteral("real_device"), state.realDevice},
            {QStringLiteral("present"), state.present},
            {QStringLiteral("in_use"), state.lock.has_value() && !state.lock->stale()},
            {QStringLiteral("holder"), lockValue(state.lock)},
        });
    }
    return QJsonObject{{QStringLiteral("ports"), array}};
}

QJsonObject openFailureObject(const QString& message, const Where& where, const OpenFailure& failure)
{
    QJsonObject object = errorObject(message, ExitStatus::PortFailed, where);
    object.insert(QStringLiteral("reason"), reasonName(failure.kind));
    switch (failure.kind) {
    case OpenFailure::Kind::Missing: {
        QJsonArray present;
        for (const PortMap::PresentDevice& entry : failure.present)
            present.append(QJsonObject{
                {QStringLiteral("port"),
                 entry.port != 0 ? QJsonValue(PortMap::portName(entry.port)) : QJsonValue(QJsonValue::Null)},
                {QStringLiteral("device"), entry.device.systemLocation},
                {QStringLiteral("stable_path"), entry.stablePath},
                {QStringLiteral("description"), PortWording::deviceText(entry.device)},
            });
        object.insert(QStringLiteral("present"), present);
        object.insert(QStringLiteral("settings_file"), failure.settingsFile);
        break;
    }
    case OpenFailure::Kind::Busy:
        object.insert(QStringLiteral("holder"), lockValue(failure.lock));
        if (failure.server)
            object.insert(QStringLiteral("server"), failure.server->toJson());
        break;
    case OpenFailure::Kind::NotPermitted:
        object.insert(QStringLiteral("group"), failure.group);
        break;
    case OpenFailure::Kind::NotSerial:
    case OpenFailure::Kind::Other:
        break;
    }
    return object;
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

}  // namespace Driver::Report
