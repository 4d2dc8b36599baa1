#pragma once

#include <QString>
#include <QStringList>

// What the window needs from the desktop besides its own widgets: the modal
// message box, the yield to pending events and the per-user settings store.
// Tests replace it to record messages and to run code inside a yield or while
// a box is shown.
class PlatformServices {
public:
    virtual ~PlatformServices() = default;

    // Modal box with the text, an OK button only, no icon, the application title.
    virtual void msgBox(const QString& text) = 0;
    // Runs every pending event (timer ticks, serial events, clicks), then returns.
    virtual void doEvents() = 0;
    // The stored string, or `fallback` when nothing is stored.
    virtual QString getSetting(const QString& section, const QString& key, const QString& fallback) = 0;
    // The stored strings of several keys of one section, empty where nothing
    // is stored, in the order of `keys`. A value written with commas reads
    // back with a comma and a space between its parts.
    virtual QStringList getSettings(const QString& section, const QStringList& keys)
    {
        QStringList values;
        for (const QString& key : keys)
            values << getSetting(section, key, {});
        return values;
    }
    // False when the value could not be stored.
    virtual bool saveSetting(const QString& section, const QString& key, const QString& value) = 0;
    // Where the settings are kept, for messages about them; empty when unknown.
    virtual QString settingsLocation() const { return {}; }
};
