#pragma once

#include <QString>

// How an outlet is named to people, by the panel and the command line alike:
// "outlet 3 (router)", or "outlet 3" when it has no name. Outlet n is the
// board's channel n-1.
inline QString outletLabel(int outlet, const QString& name)
{
    const QString label = QStringLiteral("outlet %1").arg(outlet);
    return name.isEmpty() ? label : QStringLiteral("%1 (%2)").arg(label, name);
}
