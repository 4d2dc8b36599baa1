#include "watch_printer.h"

namespace Cli {

using namespace Driver;

WatchPrinter::WatchPrinter(bool json, const QList<int>& outlets) : json_(json) { setOutlets(outlets); }

void WatchPrinter::setOutlets(const QList<int>& outlets) { outlets_ = outlets.isEmpty() ? allOutlets() : outlets; }

QString WatchPrinter::render(const Report::Where& where, std::uint16_t word, const OutletNames& names,
                             const QString& by)
{
    QList<int> changed;
    for (int outlet : outlets_)
        if (!last_ || isOn(*last_, outlet) != isOn(word, outlet))
            changed << outlet;
    last_ = word;
    if (changed.isEmpty())
        return {};
    if (!json_)
        return Report::statusLines(word, changed, names);
    QJsonObject object = Report::statusObject(where, word, outlets_, names);
    if (!by.isEmpty())
        object.insert(QStringLiteral("by"), by);
    return Report::jsonLine(object);
}

}  // namespace Cli
