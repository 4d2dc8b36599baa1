#pragma once

#include "board_connection.h"
#include "board_wire.h"
#include "open_failure.h"
#include "outlets.h"
#include "switch_plan.h"
#include "verbs.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

// orvessa serve's one queue per board: requests wait here and are done in
// batches, planned and answered on Qt's event loop, their exchanges through
// the driver's Board on the wire's own thread: the event loop never
// waits for the board.
namespace Driver {

enum class Failure {
    None,
    NoAnswer,    // the board is silent, its device failed, or the port is not open
    NotInState,  // the state read back is not the one asked for
    Stopped,     // the queue stops: the request came too late, or cut a cycle's off-time short
    BadRequest,  // no outlets, or one that is not 1 to 12
};

struct Result {
    Failure failure = Failure::None;
    QString error;                      // orvessa's wording
    std::optional<std::uint16_t> word;  // the state as last read back for this request
    QList<int> outlets;                 // the outlets the result is about (1-12)
    bool silent = false;                // NoAnswer: the board stayed silent (the port is open)
};

// Called once per request, from the event loop, never from inside the call
// that made the request. It must not throw.
using Done = std::function<void(const Result&)>;

// Outside BoardQueue so that `Timing timing = {}` can default it there.
struct QueueTiming {
    int pollMs = 5000;    // a state read at least this often
    int freshMs = 250;    // a status answers from a read at most this old when it arrives
    int reopenMs = 1000;  // how often a closed port is tried again
    int resetAnswerMs = Driver::ResetAnswerMs;
    std::function<qint64()> nowMs;  // a monotonic clock in ms; empty: the steady clock
    // The exchanges on a thread of their own; false: in events of this
    // thread, where a test's scripted board acts between the steps.
    bool wireThread = true;
};

// Requests pending together (made in one pass of the event loop, while a
// batch ran, or while its first read was on the wire) are done as one batch, up to the next reset, which is done on its
// own: one read, shared by the statuses; one command per outlet whose state
// changes, the requests taking effect in arrival order; one read-back that
// confirms each request, so one reversed by a later request fails with the
// state read. A status arriving at most freshMs after the last read is
// answered from it. The port is opened when the first batch needs it, and
// again after it failed. Stop the queue before destroying it.
class BoardQueue : public QObject {
    Q_OBJECT
public:
    using Timing = QueueTiming;

    BoardQueue(BoardConnection& connection, Driver::OutletNames names, Timing timing = {}, QObject* parent = nullptr);
    ~BoardQueue() override;

    // Opens the port before anything is queued, waiting for it: true, or
    // false and why (lastFailure() tells more). For start-up only.
    bool openNow(QString& why);

    // The state of all outlets.
    void status(Done done);
    // Switches the outlets to on or off, each only when it is in the other state.
    void switchOutlets(QList<int> outlets, bool on, Done done);
    void toggle(QList<int> outlets, Done done);
    // Off (confirmed), offMs on a timer while other requests go on, then on
    // (confirmed). Outlets that went off are switched back on when the off
    // half fails part way or the queue stops during the off-time. Cycles of
    // one outlet that overlap switch it back on together, once the last of
    // their off-times is over.
    void cycle(QList<int> outlets, int offMs, Done done);
    void switchAll(bool on, Done done);
    // Done once the board answers a status query again.
    void reset(Done done);
    // Answers or fails every pending request, switches the outlets of cycles
    // in their off-time back on (answering those cycles Stopped), releases the
    // port, then calls `stopped`. Later requests fail Stopped.
    void stop(std::function<void()> stopped);

    std::optional<std::uint16_t> lastWord() const { return lastWord_; }
    QDateTime lastAnswer() const { return lastAnswer_; }  // invalid: never answered
    bool answering() const { return answering_; }
    // The device last opened or tried, and why its last opening failed
    // (nothing once it opened).
    QString device() const { return device_; }
    const std::optional<OpenFailure>& lastFailure() const { return lastFailure_; }
    bool portOpen() const { return open_; }

signals:
    void stateRead(std::uint16_t word);   // after every successful read
    void linkEvent(const QString& what);  // opened, lost, silent, answers again: for the log

private:
    enum class Kind { Status, On, Off, Toggle, AllOn, AllOff, Reset, CycleOff, CycleOn };
    struct Request {
        Kind kind = Kind::Status;
        QList<int> outlets;
        qint64 arrivedMs = 0;
        Done done;
        int offMs = 0;        // CycleOff: the off-time
        QString backOnAfter;  // CycleOn that switches back on early: why
        Failure failureOnceBack = Failure::None;
    };
    struct Answer {
        Done done;
        Result result;
    };
    using Answers = QList<Answer>;

    // What a step on the wire brought back to the event loop.
    struct WireOutcome {
        bool opened = false;
        QString why;  // the opening failed: why
        QString device;
        std::optional<OpenFailure> failure;
        std::optional<std::uint16_t> word;  // the state read
        std::optional<BoardError> error;
        Driver::Outcome reset;
    };

    void enqueue(Kind kind, QList<int> outlets, Done done, int offMs = 0);
    void schedule();
    void runBatch();
    void takeInto(QList<Request>& batch);
    void startSwitches();
    void afterFirstRead(const WireOutcome& outcome);
    void afterCommands(const WireOutcome& outcome, const SwitchPlan& plan);
    void endBatch();
    static SwitchAsk askFor(const Request& request);
    void startReset(Request request);
    void afterReset(const Request& request, const WireOutcome& outcome);
    void confirm(const Request& request, std::uint16_t word, std::uint16_t wanted, std::uint16_t planned,
                 Answers& answers);
    Result noAnswer(const Request& request, const QString& why, bool silent = false) const;
    void startOffTime(const Request& request);
    void endOffTime(int id);
    void switchOnWhenFree();
    void finishStop();

    // Opens the port when it is closed (on the wire): the board, or nullptr.
    static Board* openOnWire(BoardConnection& connection, WireOutcome& outcome);
    // The opening's outcome on the event loop: false when it failed.
    bool noteOpening(const WireOutcome& outcome);
    void noteRead(std::uint16_t word);
    void boardFailed(const BoardError& error);
    void boardSilent(const QString& why);
    bool fresh(qint64 arrivedMs) const;
    qint64 now() const { return timing_.nowMs(); }

    struct OffTime {
        Request onHalf;
        QTimer* timer = nullptr;  // owned by the queue
        bool over = false;        // its time is up; it waits for an overlapping cycle's
    };

    Driver::OutletNames names_;
    Timing timing_;
    BoardWire wire_;
    QTimer batchTimer_;
    QTimer pollTimer_;
    QTimer reopenTimer_;
    QList<Request> pending_;
    QList<Request> batch_;  // the batch on the wire
    Answers answers_;       // its answers, given when it ends
    bool onWire_ = false;
    std::map<int, OffTime> offTimes_;
    int nextOffTime_ = 0;
    bool readWanted_ = true;   // a state read is due even without a request for one
    bool allCommands_ = true;  // the board's all-on and all-off may stand for several channel commands

    bool open_ = false;
    bool answering_ = false;
    bool silenceTold_ = false;
    QString openFailure_;
    QString device_;
    std::optional<OpenFailure> lastFailure_;
    std::optional<std::uint16_t> lastWord_;
    std::optional<qint64> lastReadMs_;  // none: the state may have changed since
    QDateTime lastAnswer_;

    bool stopping_ = false;
    bool stopped_ = false;
    QList<std::function<void()>> whenStopped_;
};

}  // namespace Driver
