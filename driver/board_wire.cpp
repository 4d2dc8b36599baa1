#include "board_wire.h"

#include <QPointer>
#include <QTimer>

BoardWire::BoardWire(BoardConnection& connection, Where where, QObject* parent)
    : QObject(parent), connection_(connection), where_(where)
{
    if (where_ == Where::OwnThread) {
        thread_.reset(QThread::create([this] { loop(); }));
        thread_->setObjectName(QStringLiteral("board wire"));
        thread_->start();
    }
}

BoardWire::~BoardWire()
{
    if (where_ == Where::ThisThread) {
        connection_.drop();
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        jobs_.clear();
        // The port is closed on the thread that opened it.
        jobs_.emplace_back([this] { connection_.drop(); });
        ending_ = true;
    }
    wake_.notify_one();
    thread_->wait();
}

void BoardWire::run(std::function<void(BoardConnection&)> work, std::function<void()> then)
{
    if (where_ == Where::ThisThread) {
        // The continuation is an event of its own, as it is from the thread:
        // what the work set off in this thread runs before it.
        QTimer::singleShot(0, this, [this, work = std::move(work), then = std::move(then)]() mutable {
            work(connection_);
            QTimer::singleShot(0, this, std::move(then));
        });
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        jobs_.emplace_back([this, work = std::move(work), then = std::move(then)]() mutable {
            work(connection_);
            QMetaObject::invokeMethod(this, std::move(then), Qt::QueuedConnection);
        });
    }
    wake_.notify_one();
}

void BoardWire::runAndWait(const std::function<void(BoardConnection&)>& work)
{
    if (where_ == Where::ThisThread) {
        work(connection_);
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneWake;
    bool done = false;
    {
        const std::lock_guard lock(mutex_);
        jobs_.emplace_back([&] {
            work(connection_);
            const std::lock_guard doneLock(doneMutex);
            done = true;
            doneWake.notify_one();
        });
    }
    wake_.notify_one();
    std::unique_lock doneLock(doneMutex);
    doneWake.wait(doneLock, [&] { return done; });
}

void BoardWire::loop()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return ending_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}
