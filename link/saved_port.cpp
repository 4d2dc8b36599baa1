#include "saved_port.h"

#include "operation_error.h"

#include <limits>

namespace SavedPort {

QString trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

std::int64_t toNumber(const QString& text)
{
    const auto mismatch = [&text] {
        return OperationError(ErrorNumber::TypeMismatch, ErrorSource::App,
                              QStringLiteral("the saved port \"%1\" is not a number").arg(text.left(40)));
    };
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    if (i == text.size())
        throw mismatch();
    constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            throw mismatch();
        const int digit = c.unicode() - '0';
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    return negative ? -value : value;
}

std::int16_t toInt16(std::int64_t value)
{
    if (value < std::numeric_limits<std::int16_t>::min() || value > std::numeric_limits<std::int16_t>::max())
        throw OperationError(ErrorNumber::Overflow, ErrorSource::App,
                             QStringLiteral("%1 does not fit a 16-bit integer").arg(value));
    return static_cast<std::int16_t>(value);
}

}  // namespace SavedPort
