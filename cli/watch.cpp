#include "watch.h"

#include "board.h"
#include "exit_status.h"
#include "open_failure.h"
#include "output.h"
#include "report.h"
#include "serial_board_link.h"
#include "stop_signals.h"
#include "waiting_open.h"
#include "watch_printer.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdint>
#include <optional>

namespace Cli {

using namespace Driver;

namespace {

constexpr int PollMs = 5000;
// How long a state event waits for the change event that caused it, which
// says who asked.
constexpr int ChangeHoldMs = 200;

class Watcher : public QObject {
public:
    Watcher(const Invocation& call, const WatchSource& source) : call_(call), source_(source), printer_(call.json, {})
    {
        poll_.setSingleShot(true);
        connect(&poll_, &QTimer::timeout, this, [this] {
            if (source_.remote)
                connectRemote();
            else if (client_)
                pollServer();
            else
                readPort();
        });
        hold_.setSingleShot(true);
        connect(&hold_, &QTimer::timeout, this, [this] { showHeld({}); });
        if (stopSignals_.readEnd() >= 0) {
            signalled_.emplace(stopSignals_.readEnd(), QSocketNotifier::Read);
            connect(&*signalled_, &QSocketNotifier::activated, this, [this] {
                if (stopSignals_.wait(0))
                    finish(int(ExitStatus::Done));
            });
        }
    }

    int exec()
    {
        if (!resolveOutlets(source_.names, false))
            return status_;
        if (source_.remote)
            startRemote();
        else if (const auto found = source_.findServer ? source_.findServer() : std::nullopt;
                 found && !found->socket.isEmpty())
            useServer(*found);
        else
            readPort();
        if (!finished_)
            loop_.exec();
        if (client_)
            client_->stop();
        return status_;
    }

private:
    void finish(int status)
    {
        if (finished_)
            return;
        finished_ = true;
        status_ = status;
        loop_.quit();
    }

    // The outlets as given, by this user's names for a port here, by the
    // server's for a server given by its URL (known with its first state).
    bool resolveOutlets(const OutletNames& names, bool fromServer)
    {
        if (source_.remote && !fromServer)
            return true;
        const auto outlets = parseOutlets(call_.outlets, names);
        if (const auto* refused = std::get_if<QString>(&outlets)) {
            finish(usageError(call_.json, *refused));
            return false;
        }
        printer_.setOutlets(std::get<QList<int>>(outlets));
        outletsKnown_ = true;
        return true;
    }

    QString label() const
    {
        if (source_.port)
            return PortAccess::describe(*source_.port);
        return client_ ? client_->describe() : QString();
    }

    // A trouble told once, until it clears.
    void trouble(const QString& message)
    {
        if (message == told_)
            return;
        told_ = message;
        printMessage(message);
    }

    void recovered(const QString& message)
    {
        if (told_.isEmpty())
            return;
        told_.clear();
        printMessage(message);
    }

    void show(const Report::Where& where, std::uint16_t word, const OutletNames& names, const QString& by)
    {
        printResult(printer_.render(where, word, names, by));
    }

    // The port: its turn taken, opened, read once, closed, the turn handed on.
    void readPort()
    {
        const PortAccess::Port& port = *source_.port;
        std::optional<std::uint16_t> word;
        QString failure;
        Report::Where where{port.name, {}};
        {
            PortAccess::WaitingOpen waiting = PortAccess::openWaiting(port, call_.waitMs, stopSignals_);
            where.realDevice = waiting.opened.realDevice;
            if (!waiting.interruptedBy.isEmpty())
                return finish(int(ExitStatus::Done));
            if (!waiting.opened.serial) {
                const OpenFailure& why = *waiting.opened.failure;
                if (why.server && !why.server->socket.isEmpty())
                    return useServer(*why.server);
                if (!printer_.shownAny() && !startedOnce_)
                    return finish(fail(call_.json, Report::openFailureObject(describeOpenFailure(why), where, why)));
                failure = describeOpenFailure(why);
            } else {
                SerialBoardLink link(*waiting.opened.serial);
                Board board(link, call_.timeoutMs);
                try {
                    word = board.readStatus();
                } catch (const BoardError& error) {
                    failure = QStringLiteral("%1: %2").arg(PortAccess::describe(port), error.message());
                }
                waiting.opened.serial->close();
            }
            waiting.turn.release();
        }
        startedOnce_ = true;
        if (word) {
            recovered(QStringLiteral("%1: the state is read again").arg(PortAccess::describe(port)));
            show(where, *word, source_.names, {});
        } else {
            trouble(failure);
        }
        poll_.start(PollMs);
    }

    void watchClient(ServedBoardClient& client)
    {
        // A server counts as watched once its stream brings the state.
        connect(&client, &ServedBoardClient::state, this, [this](const QJsonObject& state) {
            if (!connected_)
                recovered(QStringLiteral("%1: watching again").arg(client_->describe()));
            connected_ = true;
            stateEvent(state);
        });
        connect(&client, &ServedBoardClient::change, this, [this](const QJsonObject& change) { changeEvent(change); });
        connect(&client, &ServedBoardClient::link, this, [this](const QJsonObject& link) {
            const QString what = link.value(QStringLiteral("what")).toString();
            if (link.value(QStringLiteral("answering")).toBool(true))
                recovered(QStringLiteral("%1: %2").arg(label(), what));
            else
                trouble(QStringLiteral("%1: %2").arg(label(), what));
        });
        connect(&client, &ServedBoardClient::lost, this, [this](const QString& why) { serverLost(why); });
    }

    void useServer(const ServeRendezvous::Server& server)
    {
        ServedBoardClient::Address address{server.socket, server.pid, server.device, QUrl(server.url), {}};
        client_ = new ServedBoardClient(address, this);  // owned by the watcher
        connected_ = false;
        watchClient(*client_);
        client_->start();
    }

    void dropClient()
    {
        if (!client_)
            return;
        client_->stop();
        client_->deleteLater();
        client_ = nullptr;
    }

    // The server on this machine went away: the port is read again, at once
    // when the server had been watched, else at the next poll (a server that
    // is stopping may still hold it).
    void serverLost(const QString& why)
    {
        const bool wasConnected = connected_;
        const QString name = client_ ? client_->describe() : QString();
        if (source_.remote) {
            dropClient();
            if (!printer_.shownAny() && !startedOnce_)
                return finish(fail(
                    call_.json, Report::errorObject(
                                    QStringLiteral("%1 cannot be reached: %2").arg(source_.remote->url.toString(), why),
                                    ExitStatus::PortFailed)));
            trouble(QStringLiteral("the event stream of %1 ended (%2); trying again every %3 s")
                        .arg(name, why)
                        .arg(PollMs / 1000));
            poll_.start(PollMs);
            return;
        }
        if (!wasConnected && client_) {
            // No stream from this server (it has none, or refused this one):
            // its state is asked for instead, as long as it answers.
            streamRefusal_ = why;
            return pollServer();
        }
        // Told as it happens, not as a trouble that clears: the port's own
        // troubles follow.
        printMessage(QStringLiteral("%1: %2 went away (%3); reading the port every %4 s")
                         .arg(PortAccess::describe(*source_.port), name, why)
                         .arg(PollMs / 1000));
        dropClient();
        QTimer::singleShot(0, this, [this] { readPort(); });
    }

    // The state through a server on this machine that gives no event stream;
    // the port again once it does not answer.
    void pollServer()
    {
        client_->request(
            QStringLiteral("GET"), QStringLiteral("/api/status"), {}, [this](const ServedBoardClient::Answer& answer) {
                if (answer.status == 0) {
                    dropClient();
                    trouble(QStringLiteral("%1: %2").arg(PortAccess::describe(*source_.port), answer.error));
                    return poll_.start(PollMs);
                }
                if (answer.status == 200) {
                    trouble(QStringLiteral("%1: %2; reading its state every %3 s")
                                .arg(PortAccess::describe(*source_.port), streamRefusal_)
                                .arg(PollMs / 1000));
                    stateEvent(answer.body);
                    showHeld({});
                } else {
                    trouble(QStringLiteral("%1: %2").arg(client_->describe(), answer.error));
                }
                poll_.start(PollMs);
            });
    }

    void startRemote()
    {
        client_ = new ServedBoardClient(*source_.remote, this);  // owned by the watcher
        // The state first, for the status of a server that refuses this client.
        client_->request(QStringLiteral("GET"), QStringLiteral("/api/status"), {},
                         [this](const ServedBoardClient::Answer& answer) { remoteStatus(answer); });
    }

    void remoteStatus(const ServedBoardClient::Answer& answer)
    {
        const QString name = client_->describe();
        if (answer.status == 0)
            return finish(fail(call_.json, Report::errorObject(answer.error, ExitStatus::PortFailed)));
        if (answer.status == 401)
            return finish(
                fail(call_.json,
                     Report::errorObject(source_.remote->token.isEmpty()
                                             ? QStringLiteral("%1 needs its token: give --token-file FILE, or set "
                                                              "ORVESSA_TOKEN_FILE")
                                                   .arg(name)
                                             : QStringLiteral("%1: %2").arg(name, answer.error),
                                         ExitStatus::Usage)));
        if (answer.status >= 400 && answer.status < 500 && answer.status != 409)
            return finish(fail(call_.json, Report::errorObject(QStringLiteral("%1: %2").arg(name, answer.error),
                                                               ExitStatus::PortFailed)));
        if (answer.status == 200)
            stateEvent(answer.body);
        else
            trouble(QStringLiteral("%1: %2").arg(name, answer.error));
        startedOnce_ = true;
        if (finished_)
            return;
        watchClient(*client_);
        client_->start();
    }

    void connectRemote()
    {
        client_ = new ServedBoardClient(*source_.remote, this);  // owned by the watcher
        connected_ = false;
        watchClient(*client_);
        client_->start();
    }

    // A state from the server: shown at once when the change that caused it
    // came first, else after a short hold for that change.
    void stateEvent(const QJsonObject& state)
    {
        if (source_.remote && !outletsKnown_ && !resolveOutlets(namesOf(state), true))
            return;
        if (!state.value(QStringLiteral("word")).isDouble())
            return;
        showHeld({});
        held_ = state;
        if (change_ && change_->first == state.value(QStringLiteral("word")).toInt()) {
            const QString by = change_->second;
            change_.reset();
            return showHeld(by);
        }
        hold_.start(ChangeHoldMs);
    }

    void changeEvent(const QJsonObject& change)
    {
        const QJsonValue word = change.value(QStringLiteral("word"));
        const QString by = change.value(QStringLiteral("by")).toString();
        if (!word.isDouble() || by.isEmpty())
            return;
        if (held_ && held_->value(QStringLiteral("word")).toInt() == word.toInt())
            return showHeld(by);
        change_.emplace(word.toInt(), by);
    }

    void showHeld(const QString& by)
    {
        hold_.stop();
        if (!held_)
            return;
        const QJsonObject state = *std::exchange(held_, std::nullopt);
        const Report::Where where{source_.port ? source_.port->name : state.value(QStringLiteral("port")).toString(),
                                  state.value(QStringLiteral("device")).toString()};
        show(where, std::uint16_t(state.value(QStringLiteral("word")).toInt()),
             source_.port ? source_.names : namesOf(state), by);
    }

    static OutletNames namesOf(const QJsonObject& state)
    {
        OutletNames names{};
        for (const QJsonValue& entry : state.value(QStringLiteral("outlets")).toArray()) {
            const int number = entry.toObject().value(QStringLiteral("number")).toInt();
            if (number >= 1 && number <= OutletCount)
                names.at(std::size_t(number - 1)) = entry.toObject().value(QStringLiteral("name")).toString();
        }
        return names;
    }

    const Invocation& call_;
    const WatchSource& source_;
    WatchPrinter printer_;
    QEventLoop loop_;
    StopSignals stopSignals_;
    std::optional<QSocketNotifier> signalled_;
    QTimer poll_;
    QTimer hold_;
    QPointer<ServedBoardClient> client_;
    std::optional<QJsonObject> held_;                // a state waiting for its change
    std::optional<std::pair<int, QString>> change_;  // a change's word and who asked, waiting for its state
    QString told_;                                   // the trouble told last, until it clears
    bool outletsKnown_ = false;
    bool connected_ = false;
    bool startedOnce_ = false;  // the start is over: failures are told, and watch goes on
    QString streamRefusal_;     // why the server on this machine gives no event stream
    bool finished_ = false;
    int status_ = int(ExitStatus::Done);
};

}  // namespace

int runWatch(const Invocation& call, const WatchSource& source)
{
    Watcher watcher(call, source);
    return watcher.exec();
}

}  // namespace Cli
