#include "seconds_text.h"

#include <QRegularExpression>

namespace Driver {

std::optional<int> parseSeconds(const QString& text, int minMs, int maxMs)
{
    static const QRegularExpression decimal(QStringLiteral("^([0-9]{1,6})(?:\\.([0-9]{1,3}))?$"));
    const QRegularExpressionMatch match = decimal.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const qint64 ms = match.captured(1).toLongLong() * 1000 + match.captured(2).leftJustified(3, u'0').toInt();
    if (ms < minMs || ms > maxMs)
        return std::nullopt;
    return int(ms);
}

}  // namespace Driver
