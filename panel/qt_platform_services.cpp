#include "qt_platform_services.h"

#include "setting_text.h"

#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QSettings>

void QtPlatformServices::msgBox(const QString& text)
{
    QMessageBox box;
    box.setWindowTitle(QCoreApplication::applicationName());
    box.setIcon(QMessageBox::NoIcon);
    box.setText(text);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

void QtPlatformServices::doEvents()
{
    QCoreApplication::processEvents();
    // A timer that falls due inside processEvents() only posts its tick (the
    // tick is a queued call); delivering what was posted runs it in this yield.
    QCoreApplication::sendPostedEvents();
}

QString QtPlatformServices::getSetting(const QString& section, const QString& key, const QString& fallback)
{
    // Start-up judges a port choice such as "3,4" as the text it is.
    return settingText(QSettings().value(section + QLatin1Char('/') + key, fallback), u",");
}

QStringList QtPlatformServices::getSettings(const QString& section, const QStringList& keys)
{
    QSettings settings;
    settings.beginGroup(section);
    QStringList values;
    for (const QString& key : keys)
        values << settingText(settings.value(key), u", ");  // names read as they are written
    return values;
}

bool QtPlatformServices::saveSetting(const QString& section, const QString& key, const QString& value)
{
    QSettings settings;
    settings.setValue(section + QLatin1Char('/') + key, value);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

QString QtPlatformServices::settingsLocation() const { return QDir::toNativeSeparators(QSettings().fileName()); }
