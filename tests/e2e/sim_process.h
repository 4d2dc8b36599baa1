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

    // Commands the simulator has received so far, e.g. "s00t", "s0ap".
    QStringList commands()
    {
        log_ += process_.readAllStandardOutput();
        QStringList result;
        for (const QByteArray& line : log_.split('\n')) {
            const QList<QByteArray> fields = line.trimmed().split(' ');
            if (fields.size() >= 2)
                result << QString::fromLatin1(fields[1]);
        }
        return result;
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
