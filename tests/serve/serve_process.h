#pragma once

#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <signal.h>

// The built `orvessa serve`, with a settings folder (outlet 3 named
// "router", or the [Outlets] lines given) and a runtime folder of its own,
// and `extra` in its environment; its URL read from its log.
class ServeProcess {
public:
    explicit ServeProcess(const QStringList& args, const QByteArray& outletNames = "3=router\n",
                          const QProcessEnvironment& extra = {})
    {
        QDir(config_.path()).mkpath("Tavrin");
        QFile settings(config_.filePath("Tavrin/TavrinV1.3prj.conf"));
        if (settings.open(QIODevice::WriteOnly))
            settings.write("[Outlets]\n" + outletNames);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", config_.path());
        environment.insert("XDG_RUNTIME_DIR", runtime_.path());
        environment.insert(extra);
        process_.setProcessEnvironment(environment);
        process_.start(QStringLiteral(ORVESSA_PATH), QStringList{"serve"} + args);
    }
    ~ServeProcess()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(10000);
        }
    }

    // Waits for "serving ... at URL" (true) or the end of the process.
    bool serving()
    {
        const QRegularExpression line("serving .* at (http://\\S+/)");
        QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired()) {
            if (const auto match = line.match(log()); match.hasMatch()) {
                url_ = match.captured(1);
                return true;
            }
            if (process_.state() == QProcess::NotRunning)
                return false;
            process_.waitForReadyRead(100);
        }
        return false;
    }
    QString url(const QString& path = {}) const { return url_ + path.mid(1); }
    QString runtimeFolder() const { return runtime_.path() + "/tavrin"; }
    qint64 pid() const { return process_.processId(); }
    QString log()
    {
        log_ += process_.readAllStandardError();
        return QString::fromUtf8(log_);
    }
    // The state-changing requests logged from character `from` of the log
    // on, without peer and time taken: "PUT /outlet/3 1: 200 on".
    QStringList changes(qsizetype from = 0)
    {
        QStringList logged;
        const QRegularExpression change("((?:PUT|POST) /.*) \\(\\d+ ms\\)$");
        for (const QString& line : log().mid(from).split('\n'))
            if (const auto match = change.match(line); match.hasMatch())
                logged << match.captured(1);
        return logged;
    }
    // Sends `signal` (none: only waits) and returns the exit status, -1 when it did not exit.
    int end(int signal = SIGTERM)
    {
        if (signal != 0 && process_.state() != QProcess::NotRunning)
            ::kill(pid_t(process_.processId()), signal);
        if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(15000))
            return -1;
        log();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

private:
    QTemporaryDir config_;
    QTemporaryDir runtime_;
    QProcess process_;
    QByteArray log_;
    QString url_;
};

// A request through QNetworkAccessManager, waited for (15 s at most).
struct HttpAnswer {
    int status = 0;  // 0: no answer
    QByteArray body;
};

inline HttpAnswer httpCall(QNetworkAccessManager& manager, const QByteArray& method, const QString& url,
                           const QByteArray& body = {}, const QByteArray& token = {})
{
    QNetworkRequest request{QUrl(url)};
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token);
    if (method != "GET")
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply* reply = manager.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(15000, &loop, &QEventLoop::quit);
    loop.exec();
    HttpAnswer answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    reply->deleteLater();
    return answer;
}
