#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>
#include <QtTest>

// orvessa-sim running for a test: started with the given options and --log,
// its device path read from its first line, its log collected as it comes.
class SimProcess {
public:
    explicit SimProcess(const QStringList& options)
    {
        process_.setProgram(QStringLiteral(ORVESSA_SIM_PATH));
        process_.setArguments(options + QStringList{"--log"});
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        if (!process_.waitForStarted(10000))
            return;
        QDeadlineTimer deadline(10000);
        while (!process_.canReadLine() && !deadline.hasExpired())
            process_.waitForReadyRead(100);
        device_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    }
    ~SimProcess() { stop(); }

    QString device() const { return device_; }
    bool running() const { return process_.state() != QProcess::NotRunning; }

    // Commands the simulator has received so far, e.g. "s00t", "s0ap".
    QStringList commands()
    {
        QStringList result;
        for (const QString& entry : entries())
            result << entry.section(QLatin1Char(' '), 0, 0);
        return result;
    }

    // Its log so far without the times, e.g. "s00t", "s02p ignored".
    QStringList entries()
    {
        log_ += process_.readAllStandardOutput();
        QStringList result;
        for (const QByteArray& line : log_.split('\n')) {
            const QByteArray entry = line.trimmed();
            const qsizetype space = entry.indexOf(' ');
            if (space > 0 && space + 1 < entry.size())
                result << QString::fromLatin1(entry.mid(space + 1));
        }
        return result;
    }

    // Waits until the simulator has logged `count` entries or 10 s have passed.
    bool waitForEntries(qsizetype count)
    {
        QDeadlineTimer deadline(10000);
        while (entries().size() < count && !deadline.hasExpired())
            process_.waitForReadyRead(100);
        return entries().size() >= count;
    }

    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(10000))
            process_.kill();
        process_.waitForFinished(10000);
    }

private:
    QProcess process_;
    QString device_;
    QByteArray log_;
};
