#include "panel_settings.h"

#include "operation_error.h"
#include "port_map.h"
#include "saved_port.h"
#include "setting_text.h"

#include <QSettings>

namespace Cli::PanelSettings {

QString portFromSaved(const QString& saved)
{
    std::int64_t number = 0;
    try {
        number = SavedPort::toNumber(SavedPort::trimSpaces(saved));
    } catch (const OperationError&) {
        number = 0;
    }
    if (number < PortMap::FirstPort || number > PortMap::LastPort)
        number = 1;
    return QStringLiteral("COM%1").arg(number);
}

QString savedPort() { return portFromSaved(QSettings().value(QStringLiteral("Com/PORT")).toString()); }

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

}  // namespace Cli::PanelSettings
