#pragma once

#include <QString>

#include <exception>

// The one failure type of the panel's operations: a number, the source that
// raised it and a description. The port lifecycle handlers turn it into the
// operator's error report.
class OperationError : public std::exception {
public:
    OperationError(int number, QString source, QString description)
        : number_(number), source_(std::move(source)), description_(std::move(description)),
          what_(reportText().toUtf8())
    {}

    int number() const noexcept { return number_; }
    const QString& source() const noexcept { return source_; }
    const QString& description() const noexcept { return description_; }

    // "error NO: <number>--<source><description>"; the sources carry their own
    // separator, so nothing is put between source and description here.
    QString reportText() const
    {
        return QStringLiteral("error NO: ") + QString::number(number_) + QStringLiteral("--") + source_ + description_;
    }

    const char* what() const noexcept override { return what_.constData(); }

private:
    int number_;
    QString source_;
    QString description_;
    QByteArray what_;
};

// Error numbers of the panel's own failures (those of the serial component are
// in serial_component.h).
namespace ErrorNumber {
inline constexpr int Overflow = 6;             // a number does not fit its integer
inline constexpr int SubscriptOutOfRange = 9;  // an index outside its array
inline constexpr int TypeMismatch = 13;        // text that is not a number
inline constexpr int SettingsAccess = 75;      // the settings store cannot be written
inline constexpr int InvalidProperty = 380;    // e.g. a list index with no entry
inline constexpr int Unexpected = 440;         // anything else that went wrong in a handler
}  // namespace ErrorNumber

// Sources named in error reports.
namespace ErrorSource {
inline const QString App = QStringLiteral("TavrinV1.3prj: ");
inline const QString PortList = QStringLiteral("Com: ");
inline const QString Serial = QStringLiteral("MSComm1: ");
}  // namespace ErrorSource

// Inside a catch block: the failure being handled, as the error report shows
// it. Anything but an OperationError is an unexpected failure.
inline OperationError currentFailure()
{
    try {
        throw;
    } catch (const OperationError& error) {
        return error;
    } catch (const std::exception& error) {
        return OperationError(ErrorNumber::Unexpected, ErrorSource::App, QString::fromLocal8Bit(error.what()));
    } catch (...) {
        return OperationError(ErrorNumber::Unexpected, ErrorSource::App, QStringLiteral("unknown failure"));
    }
}
