#include "panel_settings.h"

#include "operation_error.h"
#include "saved_port.h"

#include <QSettings>

namespace Cli::PanelSettings {

namespace {
constexpr int PanelPorts = 4;  // the panel's list offers COM1 to COM4
}

QString portFromSaved(const QString& saved)
{
    std::int64_t number = 0;
    try {
        number = SavedPort::toNumber(SavedPort::trimSpaces(saved));
    } catch (const OperationError&) {
        number = 0;
    }
    if (number < 1 || number > PanelPorts)
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
        const QVariant value = settings.value(QString::number(outlet));
        // QSettings reads an unquoted value with commas as a list of strings.
        const QString name = value.typeId() == QMetaType::QStringList ? value.toStringList().join(QStringLiteral(", "))
                                                                      : value.toString();
        names[std::size_t(outlet - 1)] = name.trimmed();
    }
    return names;
}

}  // namespace Cli::PanelSettings
