#include "board_queue.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <variant>

namespace Driver {

namespace {

bool isSilence(const BoardError& error) { return error.kind() == BoardError::Kind::Silent; }

qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QList<int> offIn(std::uint16_t word, QList<int> outlets)
{
    outlets.removeIf([word](int outlet) { return Driver::isOn(word, outlet); });
    return outlets;
}

// Why the state read back is not the one a request asked for: an outlet that
// a later request of the same batch switched back is reversed, not the
// board's fault; any other is.
QString confirmationFailure(std::uint16_t word, const QList<int>& outlets, std::uint16_t wanted, std::uint16_t planned,
                            const Driver::OutletNames& names)
{
    QList<int> reversed;
    QList<int> notSwitched;
    for (int outlet : outlets) {
        const bool on = Driver::isOn(word, outlet);
        if (on == Driver::isOn(wanted, outlet))
            continue;
        (on == Driver::isOn(planned, outlet) ? reversed : notSwitched) << outlet;
    }
    const auto wanting = [wanted](int outlet) { return Driver::isOn(wanted, outlet); };
    QStringList parts;
    if (const QString failed = Driver::switchFailure(word, notSwitched, wanting, names); !failed.isEmpty())
        parts << failed;
    if (const QString back = Driver::stateMismatches(word, reversed, wanting, names); !back.isEmpty())
        parts << QStringLiteral("reversed by a later request: ") + back;
    return parts.join(QStringLiteral("; "));
}

QString stoppingOffTime() { return Driver::offTimeInterrupted(QStringLiteral("the server stopping")); }
QString stopping() { return QStringLiteral("the server is stopping"); }

}  // namespace

BoardQueue::BoardQueue(BoardConnection& connection, Driver::OutletNames names, Timing timing, QObject* parent)
    : QObject(parent), names_(std::move(names)), timing_(std::move(timing)),
      wire_(connection, timing_.wireThread ? BoardWire::Where::OwnThread : BoardWire::Where::ThisThread)
{
    if (!timing_.nowMs)
        timing_.nowMs = steadyMs;
    batchTimer_.setSingleShot(true);
    batchTimer_.setInterval(0);
    connect(&batchTimer_, &QTimer::timeout, this, &BoardQueue::runBatch);
    connect(&pollTimer_, &QTimer::timeout, this, [this] {
        if (!fresh(now())) {
            readWanted_ = true;
            schedule();
        }
    });
    pollTimer_.start(timing_.pollMs);
    reopenTimer_.setInterval(timing_.reopenMs);
    connect(&reopenTimer_, &QTimer::timeout, this, [this] {
        readWanted_ = true;
        schedule();
    });
    // The first pass opens the port and reads the state.
    schedule();
}

BoardQueue::~BoardQueue() = default;

void BoardQueue::status(Done done) { enqueue(Kind::Status, Driver::allOutlets(), std::move(done)); }

void BoardQueue::switchOutlets(QList<int> outlets, bool on, Done done)
{
    enqueue(on ? Kind::On : Kind::Off, std::move(outlets), std::move(done));
}

void BoardQueue::toggle(QList<int> outlets, Done done) { enqueue(Kind::Toggle, std::move(outlets), std::move(done)); }

void BoardQueue::cycle(QList<int> outlets, int offMs, Done done)
{
    enqueue(Kind::CycleOff, std::move(outlets), std::move(done), qMax(0, offMs));
}

void BoardQueue::switchAll(bool on, Done done)
{
    enqueue(on ? Kind::AllOn : Kind::AllOff, Driver::allOutlets(), std::move(done));
}

void BoardQueue::reset(Done done) { enqueue(Kind::Reset, Driver::allOutlets(), std::move(done)); }

void BoardQueue::enqueue(Kind kind, QList<int> outlets, Done done, int offMs)
{
    std::optional<Result> refused;
    if (stopping_) {
        refused = Result{Failure::Stopped, stopping(), std::nullopt, outlets};
    } else if (outlets.isEmpty()) {
        refused = Result{Failure::BadRequest, QStringLiteral("no outlet given"), std::nullopt, {}};
    } else {
        // The command line's check and wording; an outlet given twice counts once.
        QStringList numbers;
        for (int outlet : outlets)
            numbers << QString::number(outlet);
        auto parsed = Driver::parseOutlets(numbers, names_);
        if (const QString* error = std::get_if<QString>(&parsed))
            refused = Result{Failure::BadRequest, *error, std::nullopt, {}};
        else
            outlets = std::get<QList<int>>(std::move(parsed));
    }
    if (refused) {
        QTimer::singleShot(0, this, [done = std::move(done), result = *refused] {
            if (done)
                done(result);
        });
        return;
    }
    pending_ << Request{kind, std::move(outlets), now(), std::move(done), offMs, {}, Failure::None};
    schedule();
}

void BoardQueue::schedule()
{
    if (!batchTimer_.isActive())
        batchTimer_.start();
}

bool BoardQueue::openNow(QString& why)
{
    WireOutcome outcome;
    wire_.runAndWait([&outcome](BoardConnection& connection) { openOnWire(connection, outcome); });
    why = outcome.why;
    // The first batch tells the log that the port is open, or why not.
    device_ = outcome.device;
    lastFailure_ = outcome.failure;
    return outcome.opened;
}

void BoardQueue::runBatch()
{
    // The batch on the wire schedules the next one when it ends.
    if (onWire_)
        return;
    if (stopping_)
        readWanted_ = false;
    takeInto(batch_);
    if (!batch_.isEmpty() && batch_.first().kind == Kind::Reset) {
        startReset(batch_.takeFirst());
        return;
    }
    if (batch_.isEmpty() && !readWanted_) {
        endBatch();
        return;
    }
    startSwitches();
}

// Takes the pending requests that may join `batch`, up to the next reset, or
// the reset alone into an empty batch: a reset is done on its own, after what
// came before it. A status that came after a switching request waits for the
// next batch, which answers it from this batch's read-back: requests take
// effect in the order they came.
void BoardQueue::takeInto(QList<Request>& batch)
{
    if (batch.isEmpty() && !pending_.isEmpty() && pending_.first().kind == Kind::Reset) {
        batch << pending_.takeFirst();
        return;
    }
    bool switching =
        std::any_of(batch.cbegin(), batch.cend(), [](const Request& request) { return request.kind != Kind::Status; });
    while (!pending_.isEmpty() && pending_.first().kind != Kind::Reset) {
        const bool status = pending_.first().kind == Kind::Status;
        if (status && switching)
            break;
        switching = switching || !status;
        batch << pending_.takeFirst();
    }
}

// One read for the statuses and as the base for the switching requests; the
// requests that come while it is on the wire join the batch.
void BoardQueue::startSwitches()
{
    const bool needsRead = readWanted_ || std::any_of(batch_.cbegin(), batch_.cend(), [this](const Request& request) {
                               return request.kind != Kind::Status || !fresh(request.arrivedMs);
                           });
    readWanted_ = false;
    if (!needsRead) {
        for (const Request& request : std::as_const(batch_))
            answers_ << Answer{request.done, Result{Failure::None, {}, lastWord_, request.outlets}};
        endBatch();
        return;
    }
    onWire_ = true;
    auto outcome = std::make_shared<WireOutcome>();
    wire_.run(
        [outcome](BoardConnection& connection) {
            if (Board* board = openOnWire(connection, *outcome)) {
                try {
                    outcome->word = board->readStatus();
                } catch (const BoardError& error) {
                    outcome->error = error;
                    if (!isSilence(error))
                        connection.drop();
                }
            }
        },
        [this, outcome] { afterFirstRead(*outcome); });
}

// The commands the batch adds up to, and one read-back that confirms each
// switching request.
void BoardQueue::afterFirstRead(const WireOutcome& outcome)
{
    if (!noteOpening(outcome) || outcome.error) {
        if (outcome.error)
            boardFailed(*outcome.error);
        for (const Request& request : std::as_const(batch_))
            answers_ << Answer{request.done,
                               outcome.error ? noAnswer(request, outcome.error->message(), isSilence(*outcome.error))
                                             : noAnswer(request, outcome.why)};
        endBatch();
        return;
    }
    const std::uint16_t before = *outcome.word;
    noteRead(before);
    takeInto(batch_);
    QList<SwitchAsk> asks;
    for (const Request& request : std::as_const(batch_)) {
        if (request.kind == Kind::Status)
            answers_ << Answer{request.done, Result{Failure::None, {}, before, request.outlets}};
        else
            asks << askFor(request);
    }
    batch_.removeIf([](const Request& request) { return request.kind == Kind::Status; });
    const SwitchPlan plan = planSwitches(before, asks, allCommands_);
    if (plan.commands.isEmpty()) {
        WireOutcome unchanged;
        unchanged.opened = true;
        unchanged.word = before;
        afterCommands(unchanged, plan);
        return;
    }
    lastReadMs_.reset();
    auto sent = std::make_shared<WireOutcome>();
    sent->opened = true;
    wire_.run(
        [sent, commands = plan.commands](BoardConnection& connection) {
            QString why;
            Board* board = connection.board(why);
            try {
                if (!board)
                    throw BoardError(BoardError::Kind::DeviceFailed, why);
                for (const QByteArray& command : commands)
                    board->send(command);
                sent->word = board->readStatus();
            } catch (const BoardError& error) {
                sent->error = error;
                if (!isSilence(error))
                    connection.drop();
            }
        },
        [this, sent, plan] { afterCommands(*sent, plan); });
}

void BoardQueue::afterCommands(const WireOutcome& outcome, const SwitchPlan& plan)
{
    if (outcome.error) {
        boardFailed(*outcome.error);
        for (const Request& request : std::as_const(batch_))
            answers_ << Answer{request.done, noAnswer(request, outcome.error->message(), isSilence(*outcome.error))};
        endBatch();
        return;
    }
    const std::uint16_t after = *outcome.word;
    if (!plan.commands.isEmpty())
        noteRead(after);
    if (plan.usesAll && after != plan.planned) {
        // Channel commands alone from now on: they are what each outlet's read-back checks.
        allCommands_ = false;
        emit linkEvent(QStringLiteral("the board's all-on or all-off did not give the state planned; this "
                                      "server no longer uses them to switch several outlets"));
    }
    for (qsizetype i = 0; i < batch_.size(); ++i)
        confirm(batch_[i], after, plan.wanted[i], plan.planned, answers_);
    endBatch();
}

// Gives the batch's answers, then goes on with what is pending.
void BoardQueue::endBatch()
{
    onWire_ = false;
    batch_.clear();
    for (const Answer& answer : std::exchange(answers_, {}))
        if (answer.done)
            answer.done(answer.result);
    if (!pending_.isEmpty() || readWanted_)
        schedule();
    else if (stopping_ && !stopped_ && offTimes_.empty())
        finishStop();
}

SwitchAsk BoardQueue::askFor(const Request& request)
{
    switch (request.kind) {
    case Kind::Toggle:
        return SwitchAsk{SwitchAsk::How::Toggle, request.outlets};
    case Kind::Off:
    case Kind::CycleOff:
    case Kind::AllOff:
        return SwitchAsk{SwitchAsk::How::Off, request.outlets};
    default:
        return SwitchAsk{SwitchAsk::How::On, request.outlets};
    }
}

void BoardQueue::startReset(Request request)
{
    onWire_ = true;
    lastReadMs_.reset();
    auto outcome = std::make_shared<WireOutcome>();
    wire_.run(
        [outcome, answerMs = timing_.resetAnswerMs](BoardConnection& connection) {
            if (Board* board = openOnWire(connection, *outcome)) {
                try {
                    outcome->reset = Driver::resetBoard(*board, answerMs);
                } catch (const BoardError& error) {
                    outcome->error = error;
                    if (!isSilence(error))
                        connection.drop();
                }
            }
        },
        [this, outcome, request = std::move(request)] { afterReset(request, *outcome); });
}

void BoardQueue::afterReset(const Request& request, const WireOutcome& outcome)
{
    if (!noteOpening(outcome)) {
        answers_ << Answer{request.done, noAnswer(request, outcome.why)};
    } else if (outcome.error) {
        boardFailed(*outcome.error);
        answers_ << Answer{request.done, noAnswer(request, outcome.error->message(), isSilence(*outcome.error))};
    } else {
        const Driver::Outcome& reset = outcome.reset;
        if (reset.word)
            noteRead(*reset.word);
        else
            boardSilent(reset.error);
        answers_ << Answer{request.done, Result{reset.word ? Failure::None : Failure::NoAnswer, reset.error, reset.word,
                                                request.outlets, reset.silent}};
    }
    endBatch();
}

// Answers a switching request from the state read back. A cycle's off half
// starts its off-time instead, or has the outlets that went off switched back
// on when it failed part way.
void BoardQueue::confirm(const Request& request, std::uint16_t word, std::uint16_t wanted, std::uint16_t planned,
                         Answers& answers)
{
    const QString wrong = confirmationFailure(word, request.outlets, wanted, planned, names_);
    Result result{wrong.isEmpty() ? Failure::None : Failure::NotInState, wrong, word, request.outlets};
    if (request.kind == Kind::CycleOff) {
        if (wrong.isEmpty()) {
            startOffTime(request);
            return;
        }
        if (const QList<int> wentOff = offIn(word, request.outlets); !wentOff.isEmpty()) {
            pending_ << Request{Kind::CycleOn, wentOff, now(), request.done, 0, wrong, Failure::NotInState};
            return;
        }
    } else if (request.kind == Kind::CycleOn && !request.backOnAfter.isEmpty()) {
        if (wrong.isEmpty()) {
            result =
                Result{request.failureOnceBack, Driver::switchedBackOn(request.backOnAfter, request.outlets, names_),
                       word, request.outlets};
        } else {
            result.error = Driver::switchBackOnFailed(request.backOnAfter, wrong, offIn(word, request.outlets), names_);
            if (request.failureOnceBack == Failure::Stopped)
                result.failure = Failure::Stopped;
        }
    }
    answers << Answer{request.done, result};
}

Result BoardQueue::noAnswer(const Request& request, const QString& why, bool silent) const
{
    if (request.kind == Kind::CycleOn && !request.backOnAfter.isEmpty())
        return Result{request.failureOnceBack == Failure::Stopped ? Failure::Stopped : Failure::NoAnswer,
                      Driver::switchBackOnFailed(request.backOnAfter, why, request.outlets, names_), std::nullopt,
                      request.outlets, silent};
    return Result{Failure::NoAnswer, why, std::nullopt, request.outlets, silent};
}

void BoardQueue::startOffTime(const Request& request)
{
    Request onHalf{Kind::CycleOn, request.outlets, 0, request.done, 0, {}, Failure::None};
    if (stopping_) {
        onHalf.arrivedMs = now();
        onHalf.backOnAfter = stoppingOffTime();
        onHalf.failureOnceBack = Failure::Stopped;
        pending_ << onHalf;
        return;
    }
    const int id = nextOffTime_++;
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, id] { endOffTime(id); });
    timer->start(request.offMs);
    offTimes_.emplace(id, OffTime{std::move(onHalf), timer});
}

void BoardQueue::endOffTime(int id)
{
    const auto found = offTimes_.find(id);
    if (found == offTimes_.end())
        return;
    found->second.over = true;
    switchOnWhenFree();
}

// An off-time that is over switches its outlets back on once no other cycle
// still holds one of them off: a later cycle of the same outlet never cuts an
// earlier one's off-time short, it waits for it, and the other way round.
void BoardQueue::switchOnWhenFree()
{
    const auto heldByAnother = [this](int id, const QList<int>& outlets) {
        return std::any_of(offTimes_.cbegin(), offTimes_.cend(), [&](const auto& entry) {
            return entry.first != id && !entry.second.over &&
                   std::any_of(outlets.cbegin(), outlets.cend(),
                               [&](int outlet) { return entry.second.onHalf.outlets.contains(outlet); });
        });
    };
    bool released = false;
    for (auto it = offTimes_.begin(); it != offTimes_.end();) {
        if (!it->second.over || heldByAnother(it->first, it->second.onHalf.outlets)) {
            ++it;
            continue;
        }
        it->second.timer->deleteLater();
        Request onHalf = std::move(it->second.onHalf);
        onHalf.arrivedMs = now();
        pending_ << std::move(onHalf);
        it = offTimes_.erase(it);
        released = true;
    }
    if (released)
        schedule();
}

void BoardQueue::stop(std::function<void()> stopped)
{
    if (stopped_) {
        QTimer::singleShot(0, this, std::move(stopped));
        return;
    }
    whenStopped_ << std::move(stopped);
    if (stopping_)
        return;
    stopping_ = true;
    pollTimer_.stop();
    reopenTimer_.stop();
    // A cycle that has not switched anything yet is not begun.
    for (const Request& request : std::as_const(pending_))
        if (request.kind == Kind::CycleOff)
            QTimer::singleShot(0, this, [done = request.done, outlets = request.outlets] {
                if (done)
                    done(Result{Failure::Stopped, stopping(), std::nullopt, outlets});
            });
    pending_.removeIf([](const Request& request) { return request.kind == Kind::CycleOff; });
    for (auto& [id, offTime] : offTimes_) {
        offTime.timer->stop();
        offTime.timer->deleteLater();
        Request onHalf = std::move(offTime.onHalf);
        onHalf.arrivedMs = now();
        onHalf.backOnAfter = stoppingOffTime();
        onHalf.failureOnceBack = Failure::Stopped;
        pending_ << std::move(onHalf);
    }
    offTimes_.clear();
    schedule();
}

void BoardQueue::finishStop()
{
    stopped_ = true;
    onWire_ = true;  // nothing more goes on the wire
    wire_.run([](BoardConnection& connection) { connection.drop(); },
              [this] {
                  if (open_)
                      emit linkEvent(QStringLiteral("the port is released"));
                  open_ = false;
                  answering_ = false;
                  for (const std::function<void()>& stopped : std::exchange(whenStopped_, {}))
                      stopped();
              });
}

Board* BoardQueue::openOnWire(BoardConnection& connection, WireOutcome& outcome)
{
    Board* board = connection.board(outcome.why);
    outcome.opened = board != nullptr;
    outcome.device = connection.device();
    outcome.failure = connection.lastFailure();
    return board;
}

bool BoardQueue::noteOpening(const WireOutcome& outcome)
{
    device_ = outcome.device;
    lastFailure_ = outcome.failure;
    if (!outcome.opened) {
        open_ = false;
        answering_ = false;
        if (outcome.why != openFailure_) {
            openFailure_ = outcome.why;
            emit linkEvent(outcome.why);
        }
        if (!stopping_ && !reopenTimer_.isActive())
            reopenTimer_.start();
        return false;
    }
    if (!open_) {
        open_ = true;
        silenceTold_ = false;
        openFailure_.clear();
        reopenTimer_.stop();
        emit linkEvent(QStringLiteral("the port is open"));
    }
    return true;
}

void BoardQueue::noteRead(std::uint16_t word)
{
    lastWord_ = word;
    lastReadMs_ = now();
    if (!answering_)
        emit linkEvent(lastAnswer_.isValid() ? QStringLiteral("the board answers again")
                                             : QStringLiteral("the board answers"));
    answering_ = true;
    silenceTold_ = false;
    lastAnswer_ = QDateTime::currentDateTimeUtc();
    emit stateRead(word);
}

void BoardQueue::boardFailed(const BoardError& error)
{
    lastReadMs_.reset();
    if (isSilence(error)) {
        boardSilent(error.message());
        return;
    }
    // The wire has closed the port already.
    open_ = false;
    answering_ = false;
    emit linkEvent(QStringLiteral("the port failed: %1").arg(error.message()));
    if (!stopping_ && !reopenTimer_.isActive())
        reopenTimer_.start();
}

void BoardQueue::boardSilent(const QString& why)
{
    answering_ = false;
    if (!silenceTold_) {
        silenceTold_ = true;
        emit linkEvent(QStringLiteral("the board does not answer: %1").arg(why));
    }
}

bool BoardQueue::fresh(qint64 arrivedMs) const { return lastReadMs_ && arrivedMs - *lastReadMs_ <= timing_.freshMs; }

}  // namespace Driver
