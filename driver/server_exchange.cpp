#include "server_exchange.h"

#include "signal_pipe.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSocketNotifier>
#include <QTimer>
#include <QUuid>

#include <optional>

namespace Driver {

namespace {

constexpr qint64 LargestAnswer = 64 * 1024;

}  // namespace

struct ReplyWait::State {
    QEventLoop loop;
    std::optional<SignalPipe> stopSignals;
    std::optional<QSocketNotifier> signalled;
    QTimer deadline;
    bool timedOut = false;
    QString signal;
};

ReplyWait::ReplyWait(bool catchStopSignals) : state_(std::make_unique<State>())
{
    State& state = *state_;
    if (catchStopSignals) {
        state.stopSignals.emplace(std::initializer_list<int>{SIGINT, SIGTERM});
        if (state.stopSignals->readEnd() >= 0) {
            state.signalled.emplace(state.stopSignals->readEnd(), QSocketNotifier::Read);
            QObject::connect(&*state.signalled, &QSocketNotifier::activated, &state.loop, [&state] {
                if (const int signal = state.stopSignals->take(); signal != 0) {
                    state.signal = SignalPipe::name(signal);
                    state.loop.quit();
                }
            });
        }
    }
    state.deadline.setSingleShot(true);
    QObject::connect(&state.deadline, &QTimer::timeout, &state.loop, [&state] {
        state.timedOut = true;
        state.loop.quit();
    });
}

ReplyWait::~ReplyWait() = default;

QEventLoop& ReplyWait::loop() { return state_->loop; }

void ReplyWait::run(int waitMs)
{
    state_->deadline.start(waitMs);
    state_->loop.exec();
    state_->deadline.stop();
}

bool ReplyWait::timedOut() const { return state_->timedOut; }

QString ReplyWait::signal() const { return state_->signal; }

bool ReplyWait::endedEarly(ServerReply& reply) const
{
    if (!state_->signal.isEmpty()) {
        reply.end = ServerReply::End::Interrupted;
        reply.why = state_->signal;
        return true;
    }
    if (state_->timedOut) {
        reply.end = ServerReply::End::TimedOut;
        return true;
    }
    return false;
}

bool isLoopback(const QUrl& url)
{
    const QString host = url.host();
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback();
}

QNetworkRequest serverRequest(const QUrl& server, const QByteArray& token, const ServerRequest& request)
{
    QUrl url = server.resolved(QUrl(request.path));
    if (!request.query.isEmpty())
        url.setQuery(request.query);
    QNetworkRequest http(url);
    http.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (!token.isEmpty() &&
        url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery) == server.adjusted(QUrl::RemovePath | QUrl::RemoveQuery))
        http.setRawHeader("Authorization", "Bearer " + token);
    if (!request.body.isEmpty())
        http.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (request.method == "PUT" || request.method == "POST")
        http.setRawHeader("Idempotency-Key", QUuid::createUuid().toByteArray(QUuid::WithoutBraces));
    return http;
}

std::optional<QUrl> parseServerUrl(const QString& text)
{
    QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        url.host().isEmpty() || url.hasQuery() || url.hasFragment())
        return std::nullopt;
    if (!url.path().endsWith(QLatin1Char('/')))
        url.setPath(url.path() + QLatin1Char('/'));
    return url;
}

ServerReply askServer(const QUrl& server, const QByteArray& token, const ServerRequest& request, int waitMs,
                      bool catchStopSignals)
{
    QNetworkAccessManager manager;
    // A server on this machine is never reached through a proxy.
    if (isLoopback(server))
        manager.setProxy(QNetworkProxy::NoProxy);
    const QNetworkRequest http = serverRequest(server, token, request);

    ServerReply result;
    // Caught from before the request goes, so that none is lost.
    ReplyWait wait(catchStopSignals);
    // Owned by the manager.
    QNetworkReply* reply = manager.sendCustomRequest(http, request.method, request.body);
    QObject::connect(reply, &QNetworkReply::finished, &wait.loop(), &QEventLoop::quit);
    // A status of all twelve outlets is well under a KiB: anything this large
    // is not orvessa serve, and is not read into memory.
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > LargestAnswer)
            reply->abort();
    });
    if (!reply->isFinished())
        wait.run(waitMs);

    // An answer that came with a signal or the deadline still counts.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (reply->isFinished() && status.isValid()) {
        result.end = ServerReply::End::Answered;
        result.status = status.toInt();
        result.body = reply->isOpen() ? reply->readAll() : QByteArray();  // closed when cut off for its size
    } else if (!wait.endedEarly(result)) {
        result.why = reply->errorString();
        // Closed by the server once it had the request: it may have acted on it.
        if (reply->error() == QNetworkReply::RemoteHostClosedError)
            result.end = ServerReply::End::Lost;
    }
    if (!reply->isFinished())
        reply->abort();
    return result;
}

}  // namespace Driver
