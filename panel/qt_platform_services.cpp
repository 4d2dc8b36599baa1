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

void QtPlatformServices::doEvents()
{
    QCoreApplication::processEvents();
    // A timer that falls due inside processEvents() only posts its tick (the
    // tick is a queued call); delivering what was posted runs it in this yield.
    QCoreApplication::sendPostedEvents();
}

namespace {

QString storedText(const QVariant& value)
{
    // A hand-edited value with a comma in it reads back as a list; it is still
    // the one stored text, and start-up judges it as such.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

}  // namespace

QString QtPlatformServices::getSetting(const QString& section, const QString& key, const QString& fallback)
{
    return storedText(QSettings().value(section + QLatin1Char('/') + key, fallback));
}

QStringList QtPlatformServices::getSettings(const QString& section, const QStringList& keys)
{
    QSettings settings;
    settings.beginGroup(section);
    QStringList values;
    for (const QString& key : keys)
        values << storedText(settings.value(key));
    return values;
}

bool QtPlatformServices::saveSetting(const QString& section, const QString& key, const QString& value)
{
    QSettings settings;
    settings.setValue(section + QLatin1Char('/') + key, value);
    settings.sync();
    return settings.status() == QSettings::NoError;
}
