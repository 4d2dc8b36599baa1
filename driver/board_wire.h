#pragma once

#include "board_connection.h"

#include <QObject>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// Where the board's exchanges run, so that the event loop never waits on
// the wire: on a thread of their own, each job's continuation handed back to
// this object's thread as an event. Every use of the connection (opening,
// the exchanges, closing) goes through run(), so the serial port lives and
// dies on that thread. It is a QThread, as QSerialPort's notifiers need,
// but no event loop runs there, so they never fire between exchanges (an
// unplugged adapter's errors cannot spin). Tests may run the jobs in events of this
// thread instead, where a scripted link can act between the steps.
class BoardWire final : public QObject {
    Q_OBJECT
public:
    enum class Where { OwnThread, ThisThread };

    BoardWire(BoardConnection& connection, Where where, QObject* parent = nullptr);
    // Waits for the job on the wire, drops those not begun, closes the port.
    ~BoardWire() override;

    // Runs `work` with the connection, then `then` on this object's thread
    // (not when this object is gone by then). `work` must not throw.
    void run(std::function<void(BoardConnection&)> work, std::function<void()> then);
    // Runs `work` and waits for it: for start-up, before anything is served.
    void runAndWait(const std::function<void(BoardConnection&)>& work);

private:
    void loop();

    BoardConnection& connection_;
    Where where_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool ending_ = false;
    std::unique_ptr<QThread> thread_;
};
