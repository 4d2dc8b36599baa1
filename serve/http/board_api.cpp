#include "board_api.h"

#include "request_body.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonValue>
#include <QPointer>

#include <exception>
#include <utility>
#include <variant>

BoardApi::BoardApi(ServedBoard board, QObject* parent) : QObject(parent), board_(std::move(board)) {}

void BoardApi::handle(const Http::Route& route, const QByteArray& body, const QString& query, Answer answer,
                      const Admit& admit, const QString& by)
{
    const auto mayQueue = [&admit] { return !admit || admit(); };
    using Http::Action;
    switch (route.action) {
    case Action::Page:    // the page's files are HTTP's own
    case Action::Events:  // each front-end streams the events itself
        return answer(Http::error(404, QStringLiteral("not found")));
    case Action::ReadOne:
    case Action::SwitchOne: {
        const std::optional<QList<int>> outlets = outletsOf({route.outlet}, answer);
        if (!outlets)
            return;
        const int outlet = outlets->first();
        const auto answerState = [outlet](const Driver::Result& result) {
            return Http::plainState(Driver::isOn(*result.word, outlet));
        };
        std::optional<bool> on;
        if (route.action == Action::SwitchOne && !(on = Http::plainState(body)))
            return answer(Http::error(400, QStringLiteral("the body must be 1 (on) or 0 (off)")));
        if (!mayQueue())
            return;
        if (!on)
            return board_.queue.status(whenDone(std::move(answer), answerState));
        return board_.queue.switchOutlets({outlet}, *on,
                                          told(*on ? QStringLiteral("on") : QStringLiteral("off"), {outlet}, by,
                                               whenDone(std::move(answer), answerState)));
    }
    case Action::Status: {
        const std::optional<QList<int>> outlets = outletsOf(Http::statusOutlets(query), answer);
        if (!outlets || !mayQueue())
            return;
        return board_.queue.status(whenDone(std::move(answer), [this, chosen = *outlets](const Driver::Result& result) {
            Driver::Result shown = result;
            if (!chosen.isEmpty())
                shown.outlets = chosen;
            return Http::json(200, stateObject(shown), QStringLiteral("ok"));
        }));
    }
    default:
        return actOnOutlets(route.action, body, answer, admit, by);
    }
}

void BoardApi::actOnOutlets(Http::Action action, const QByteArray& body, const Answer& answer, const Admit& admit,
                            const QString& by)
{
    using Http::Action;
    const auto asked = Http::apiRequest(action, body);
    if (const auto* refused = std::get_if<QString>(&asked))
        return answer(Http::error(400, *refused));
    const Http::ApiRequest& request = std::get<Http::ApiRequest>(asked);
    const std::optional<QList<int>> outlets = outletsOf(request.outlets, answer);
    if (!outlets || (admit && !admit()))
        return;
    const QList<int>& chosen = *outlets;
    Driver::BoardQueue& queue = board_.queue;
    const auto state = [this](const Driver::Result& result) {
        return Http::json(200, stateObject(result), QStringLiteral("ok"));
    };
    switch (action) {
    case Action::On:
    case Action::Off:
        return queue.switchOutlets(chosen, action == Action::On,
                                   told(action == Action::On ? QStringLiteral("on") : QStringLiteral("off"), chosen, by,
                                        whenDone(answer, state)));
    case Action::Toggle:
        return queue.toggle(chosen, told(QStringLiteral("toggle"), chosen, by, whenDone(answer, state)));
    case Action::Cycle:
        return queue.cycle(chosen, request.offTimeMs,
                           told(QStringLiteral("cycle"), chosen, by, whenDone(answer, state, true)));
    case Action::AllOn:
    case Action::AllOff:
        return queue.switchAll(action == Action::AllOn,
                               told(action == Action::AllOn ? QStringLiteral("all-on") : QStringLiteral("all-off"),
                                    Driver::allOutlets(), by, whenDone(answer, state)));
    case Action::Reset:
        return queue.reset(whenDone(answer, [this](const Driver::Result& result) {
            QJsonObject object = stateObject(result);
            object.insert(QStringLiteral("answers_after_reset"), true);
            return Http::json(200, object, QStringLiteral("the board was reset and answers again"));
        }));
    default:
        return answer(Http::error(404, QStringLiteral("not found")));
    }
}

std::optional<QList<int>> BoardApi::outletsOf(const QStringList& given, const Answer& answer)
{
    auto outlets = Driver::parseOutlets(given, board_.names);
    if (const auto* refused = std::get_if<QString>(&outlets)) {
        answer(Http::error(400, *refused));
        return std::nullopt;
    }
    return std::get<QList<int>>(std::move(outlets));
}

Driver::Done BoardApi::whenDone(Answer answer, std::function<Http::Reply(const Driver::Result&)> toReply, bool cycle)
{
    return [api = QPointer<BoardApi>(this), answer = std::move(answer), toReply = std::move(toReply),
            cycle](const Driver::Result& result) {
        if (!api)
            return;
        try {
            answer(result.failure == Driver::Failure::None && result.word ? toReply(result)
                                                                          : api->failed(result, cycle));
        } catch (const std::exception& failure) {
            answer(Http::error(500, QStringLiteral("the server failed: %1").arg(failure.what())));
        }
    };
}

Driver::Done BoardApi::told(const QString& asked, const QList<int>& outlets, const QString& by, Driver::Done done)
{
    return [api = QPointer<BoardApi>(this), asked, outlets, by, done = std::move(done)](const Driver::Result& result) {
        done(result);
        if (!api)
            return;
        QJsonArray numbers;
        for (const int outlet : result.outlets.isEmpty() ? outlets : result.outlets)
            numbers.append(outlet);
        emit api->switched(QJsonObject{
            {QStringLiteral("asked"), asked},
            {QStringLiteral("outlets"), numbers},
            {QStringLiteral("word"), result.word ? QJsonValue(int(*result.word)) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("ok"), result.failure == Driver::Failure::None && result.word.has_value()},
            {QStringLiteral("by"), by}});
    };
}

QJsonObject BoardApi::statusOf(std::uint16_t word) const
{
    Driver::Result result;
    result.word = word;
    result.outlets = Driver::allOutlets();
    return stateObject(result);
}

Http::Reply BoardApi::failed(const Driver::Result& result, bool cycle) const
{
    int status = 503;
    QString message = board_.portLabel + QStringLiteral(": ") + result.error;
    ExitStatus exitStatus = ExitStatus::BoardFailed;
    switch (result.failure) {
    case Driver::Failure::BadRequest:
        return Http::error(400, result.error);
    case Driver::Failure::NotInState:
        status = 409;
        break;
    case Driver::Failure::Stopped:
        if (cycle)
            exitStatus = ExitStatus::Interrupted;
        break;
    case Driver::Failure::NoAnswer:
    case Driver::Failure::None:
        if (board_.portClosed()) {
            message = result.error;  // the opening's own message names the port
            exitStatus = ExitStatus::PortFailed;
        } else if (result.silent) {
            message += Driver::Report::silenceHint(board_.where().port);
        }
        break;
    }
    QJsonObject object =
        Driver::Report::errorObject(message, exitStatus, board_.where(), result.word, result.outlets, board_.names);
    addAnswering(object);
    return Http::error(status, object);
}

QJsonObject BoardApi::stateObject(const Driver::Result& result) const
{
    QJsonObject object = Driver::Report::statusObject(board_.where(), *result.word, result.outlets, board_.names);
    addAnswering(object);
    return object;
}

void BoardApi::addAnswering(QJsonObject& object) const
{
    object.insert(QStringLiteral("answering"), board_.queue.answering());
    const QDateTime last = board_.queue.lastAnswer();
    object.insert(QStringLiteral("last_answer"),
                  last.isValid() ? QJsonValue(last.toString(Qt::ISODateWithMs)) : QJsonValue(QJsonValue::Null));
}
