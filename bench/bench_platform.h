#pragma once

#include "platform_services.h"

#include <QCoreApplication>
#include <QMap>
#include <QStringList>

// Platform services for the in-process benchmark: a message box is recorded
// instead of shown, so no modal loop ever blocks a measurement; yields run the
// real event loop; settings stay in memory, apart from the user's.
class BenchPlatform final : public PlatformServices {
public:
    QStringList messages;
    QMap<QString, QString> settings;

    void msgBox(const QString& text) override { messages << text; }
    void doEvents() override { QCoreApplication::processEvents(); }
    QString getSetting(const QString& section, const QString& key, const QString& fallback) override
    {
        return settings.value(section + QLatin1Char('/') + key, fallback);
    }
    bool saveSetting(const QString& section, const QString& key, const QString& value) override
    {
        settings[section + QLatin1Char('/') + key] = value;
        return true;
    }
};
