#include "qt_platform_services.h"

#include <QCoreApplication>
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

void QtPlatformServices::doEvents() { QCoreApplication::processEvents(); }

QString QtPlatformServices::getSetting(const QString& section, const QString& key, const QString& fallback)
{
    return QSettings().value(section + QLatin1Char('/') + key, fallback).toString();
}

bool QtPlatformServices::saveSetting(const QString& section, const QString& key, const QString& value)
{
    QSettings settings;
    settings.setValue(section + QLatin1Char('/') + key, value);
    settings.sync();
    return settings.status() == QSettings::NoError;
}
