#pragma once

#include "platform_services.h"

// The desktop's own services: QMessageBox, processEvents and QSettings under
// the application's organisation and name.
class QtPlatformServices : public PlatformServices {
public:
    void msgBox(const QString& text) override;
    void doEvents() override;
    QString getSetting(const QString& section, const QString& key, const QString& fallback) override;
    // One read of the store for all the keys.
    QStringList getSettings(const QString& section, const QStringList& keys) override;
    bool saveSetting(const QString& section, const QString& key, const QString& value) override;
    QString settingsLocation() const override;
};
