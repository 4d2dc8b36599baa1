#pragma once

#include "sim_process.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSerialPort>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

// The built orvessa, run as a script would run it, with a settings folder of
// its own (XDG_CONFIG_HOME) holding the panel's settings file.
struct OrvessaResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

class Orvessa {
public:
    Orvessa() { environment_.insert(QStringLiteral("XDG_CONFIG_HOME"), config_.path()); }

    // The panel's settings file, as the panel (or a person) wrote it.
    bool writeSettings(const QByteArray& ini)
    {
        const QString folder = config_.path() + QStringLiteral("/Tavrin");
        QDir().mkpath(folder);
        QFile file(folder + QStringLiteral("/TavrinV1.3prj.conf"));
        return file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size();
    }

    QString settingsFile() const { return config_.path() + QStringLiteral("/Tavrin/TavrinV1.3prj.conf"); }

    void setEnv(const QString& name, const QString& value) { environment_.insert(name, value); }
    // Runs this program instead of the built one (a copy elsewhere).
    void setProgram(const QString& program) { program_ = program; }
    void setWorkingDirectory(const QString& folder) { workingDirectory_ = folder; }
    QProcessEnvironment environment() const { return environment_; }

    // Runs orvessa with `args`; `asUser` runs in the child before exec.
    OrvessaResult run(const QStringList& args, const std::function<void()>& asUser = {}) const
    {
        QProcess process;
        process.setProcessEnvironment(environment_);
        process.setWorkingDirectory(workingDirectory_);
        if (asUser)
            process.setChildProcessModifier(asUser);
        process.start(program_, args);
        OrvessaResult result;
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

private:
    QString program_ = QStringLiteral(ORVESSA_PATH);
    QString workingDirectory_;
    QTemporaryDir config_;
    QProcessEnvironment environment_ = QProcessEnvironment::systemEnvironment();
};

// Writes two resets and a status query to the simulator's device, as a
// marker: no orvessa run sends two resets in a row, so once the simulator has
// logged "b", "b" and then "s00t" it has logged every command sent before.
inline bool sendMarker(const QString& device)
{
    QSerialPort port(device);
    if (!port.open(QIODevice::ReadWrite))
        return false;
    port.write("bbs00t");
    return port.waitForBytesWritten(5000);
}

// The simulator's log entries after the first `seen` ones, up to a marker
// sent now; `seen` then counts the marker too.
inline QStringList receivedSince(SimProcess& sim, qsizetype& seen)
{
    if (!sendMarker(sim.device()))
        return {"(marker not sent)"};
    const QStringList marker{"b", "b", "s00t"};
    QDeadlineTimer deadline(10000);
    QStringList entries = sim.entries();
    while ((entries.size() < seen + marker.size() || entries.mid(entries.size() - marker.size()) != marker) &&
           !deadline.hasExpired()) {
        sim.waitForEntries(entries.size() + 1);
        entries = sim.entries();
    }
    const QStringList received = entries.mid(seen, entries.size() - seen - marker.size());
    seen = entries.size();
    return received;
}
