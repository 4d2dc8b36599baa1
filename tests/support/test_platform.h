#pragma once

#include "platform_services.h"

#include <QCoreApplication>
#include <QMap>
#include <QStringList>

#include <functional>

// Platform services for window tests: records every message box, keeps the
// settings in memory, and runs a test's code inside a yield or while a box is
// "shown", so re-entrant sequences are reproduced exactly.
class TestPlatform final : public PlatformServices {
public:
    QStringList messages;
    QMap<QString, QString> settings;  // "Com/PORT" -> value
    bool settingsReadOnly = false;
    int yields = 0;
    std::function<void()> onYield;                      // runs inside every yield
    std::function<void(const QString&)> whileBoxShown;  // runs while a box is open
    bool realYield = false;                             // also process Qt's pending events

    void msgBox(const QString& text) override
    {
        messages << text;
        if (whileBoxShown)
            whileBoxShown(text);
    }
    void doEvents() override
    {
        ++yields;
        if (onYield)
            onYield();
        if (realYield) {
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents();
        }
    }
    QString getSetting(const QString& section, const QString& key, const QString& fallback) override
    {
        return settings.value(section + '/' + key, fallback);
    }
    bool saveSetting(const QString& section, const QString& key, const QString& value) override
    {
        if (settingsReadOnly)
            return false;
        settings[section + '/' + key] = value;
        return true;
    }
};
