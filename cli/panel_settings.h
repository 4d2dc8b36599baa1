#pragma once

#include "outlets.h"

#include <QString>

// What orvessa reads from the panel's settings file: the port the panel
// saved and the outlets' names. It writes nothing there.
namespace Cli::PanelSettings {

// The names that make QSettings open the panel's file
// (~/.config/Tavrin/TavrinV1.3prj.conf on Linux); set on the application
// before any settings are read.
inline const QString Organisation = QStringLiteral("Tavrin");
inline const QString Application = QStringLiteral("TavrinV1.3prj");

// "COM<n>" for a saved choice (group "Com", key "PORT") of 1 to 4, read as
// the panel reads it; "COM1" for anything else.
QString portFromSaved(const QString& saved);
QString savedPort();

// Group "Outlets": key the outlet's number, value its name (spaces around it
// dropped).
OutletNames outletNames();

}  // namespace Cli::PanelSettings
