#pragma once

#include "outlets.h"

#include <QString>

#include <optional>
#include <variant>

// What orvessa reads from the panel's settings file: the port the panel
// saved and the outlets' names. It writes nothing there.
namespace Driver::PanelSettings {

// The names that make QSettings open the panel's file
// (~/.config/Tavrin/TavrinV1.3prj.conf on Linux); set on the application
// before any settings are read.
inline const QString Organisation = QStringLiteral("Tavrin");
inline const QString Application = QStringLiteral("TavrinV1.3prj");

// The port the panel saved (group "Com", key "PORT"), read as the panel reads
// it: "COM<n>" for 1 to 4, "COM1" for none, 0 or below. Nothing for a value
// the panel cannot read either (text, or a number beyond its list).
std::optional<QString> portFromSaved(const QString& saved);

struct UnreadableSavedPort {
    QString message;  // what is wrong, naming the settings file
};
// The saved port, or why it cannot be read.
std::variant<QString, UnreadableSavedPort> savedPort();

// Group "Outlets": key the outlet's number, value its name (spaces around it
// dropped).
OutletNames outletNames();

}  // namespace Driver::PanelSettings
