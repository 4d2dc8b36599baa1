#include "panel_settings.h"

#include "operation_error.h"
#include "port_map.h"
#include "saved_port.h"
#include "setting_text.h"

#include <QDir>
#include <QSettings>

namespace Driver::PanelSettings {

std::optional<QString> portFromSaved(const QString& saved)
{
    const QString text = SavedPort::trimSpaces(saved);
    std::int64_t number = 0;
    try {
        number = text.isEmpty() ? 0 : SavedPort::toNumber(text);
    } catch (const OperationError&) {
        return std::nullopt;
    }
    if (number > PortMap::LastPort)
        return std::nullopt;
    return PortMap::portName(std::int16_t(number < PortMap::FirstPort ? PortMap::FirstPort : number));
}

std::variant<QString, UnreadableSavedPort> savedPort()
{
    const QSettings settings;
    const QString saved = settingText(settings.value(QStringLiteral("Com/PORT")), u",");
    if (std::optional<QString> port = portFromSaved(saved))
        return *port;
    return UnreadableSavedPort{
        QStringLiteral("the port saved in %1 ([Com] PORT=%2) is not a port number from %3 to %4: give --port, "
                       "or correct the line (PORT=2 means COM2)")
            .arg(QDir::toNativeSeparators(settings.fileName()), saved.left(40))
            .arg(PortMap::FirstPort)
            .arg(PortMap::LastPort)};
}

OutletNames outletNames()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("Outlets"));
    OutletNames names;
    for (int outlet = 1; outlet <= OutletCount; ++outlet) {
        // A name written with commas reads as written, as the panel reads it.
        names[std::size_t(outlet - 1)] = settingText(settings.value(QString::number(outlet)), u", ").trimmed();
    }
    return names;
}

}  // namespace Driver::PanelSettings
