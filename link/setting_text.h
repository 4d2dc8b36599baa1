#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>
#include <QVariant>

// The text of a value in the settings file, which people edit by hand.
// QSettings reads an unquoted value with commas in it as a list of strings,
// each trimmed; it is still the one text written, so the parts are joined
// again with `separator`.
inline QString settingText(const QVariant& value, QStringView separator)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(separator);
    return value.toString();
}
