#include "outlets.h"

#include "outlet_label.h"

#include <QRegularExpression>

namespace Driver {

namespace {

QString numberRange() { return QStringLiteral("1 to %1").arg(OutletCount); }

QList<int> outletsNamed(const QString& name, const OutletNames& names)
{
    QList<int> found;
    for (int outlet = 1; outlet <= OutletCount; ++outlet)
        if (!names[outlet - 1].isEmpty() && names[outlet - 1] == name)
            found << outlet;
    return found;
}

QString knownNames(const OutletNames& names)
{
    QStringList known;
    for (const QString& name : names)
        if (!name.isEmpty())
            known << QLatin1Char('\'') + name + QLatin1Char('\'');
    return known.join(QStringLiteral(", "));
}

}  // namespace

QList<int> allOutlets()
{
    QList<int> outlets;
    for (int outlet = 1; outlet <= OutletCount; ++outlet)
        outlets << outlet;
    return outlets;
}

std::variant<QList<int>, QString> parseOutlets(const QStringList& given, const OutletNames& names)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    QList<int> outlets;
    for (const QString& item : given) {
        int outlet = 0;
        if (digits.match(item).hasMatch()) {
            bool ok = false;
            outlet = item.toInt(&ok);
            if (!ok || outlet < 1 || outlet > OutletCount)
                return QStringLiteral("there is no outlet %1: the outlets are %2").arg(item, numberRange());
        } else {
            const QList<int> named = outletsNamed(item, names);
            if (named.size() > 1) {
                QStringList numbers;
                for (int n : named)
                    numbers << QString::number(n);
                return QStringLiteral("the name '%1' belongs to outlets %2: give the number")
                    .arg(item, numbers.join(QStringLiteral(", ")));
            }
            if (named.isEmpty()) {
                const QString known = knownNames(names);
                return QStringLiteral("'%1' is neither an outlet number (%2) nor an outlet name%3")
                    .arg(item, numberRange(),
                         known.isEmpty() ? QStringLiteral(" (no outlet has a name)")
                                         : QStringLiteral(" (names: %1)").arg(known));
            }
            outlet = named.first();
        }
        if (!outlets.contains(outlet))
            outlets << outlet;
    }
    return outlets;
}

QString outletLabel(int outlet, const OutletNames& names)
{
    return ::outletLabel(outlet, names.at(std::size_t(outlet - 1)));
}

}  // namespace Driver
