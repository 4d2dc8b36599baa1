#pragma once

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

    void setEnv(const QString& name, const QString& value) { environment_.insert(name, value); }
    QProcessEnvironment environment() const { return environment_; }

    // Runs orvessa with `args`; `asUser` runs in the child before exec.
    OrvessaResult run(const QStringList& args, const std::function<void()>& asUser = {}) const
    {
        QProcess process;
        process.setProcessEnvironment(environment_);
        if (asUser)
            process.setChildProcessModifier(asUser);
        process.start(QStringLiteral(ORVESSA_PATH), args);
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
    QTemporaryDir config_;
    QProcessEnvironment environment_ = QProcessEnvironment::systemEnvironment();
};

// Writes one reset byte to the simulator's device, as a marker: once the
// simulator has logged it, it has logged every command sent before it.
inline bool sendMarker(const QString& device)
{
    QSerialPort port(device);
    if (!port.open(QIODevice::ReadWrite))
        return false;
    port.write("b");
    return port.waitForBytesWritten(5000);
}
