#pragma once

#include "outlets.h"
#include "report.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

// What orvessa watch prints for each state read: first every outlet watched,
// then only the ones that changed, in orvessa status's words; with --json one
// object per state that changed a watched outlet, as orvessa --json status
// prints it, with "by" when the server said who switched.
namespace Cli {

class WatchPrinter {
public:
    // `outlets` resolved; empty: all.
    WatchPrinter(bool json, const QList<int>& outlets);

    // The text for the state `word`; empty when no watched outlet changed.
    QString render(const Driver::Report::Where& where, std::uint16_t word, const Driver::OutletNames& names,
                   const QString& by = {});

    void setOutlets(const QList<int>& outlets);
    bool shownAny() const { return last_.has_value(); }

private:
    bool json_;
    QList<int> outlets_;
    std::optional<std::uint16_t> last_;
};

}  // namespace Cli
