#pragma once

#include <QObject>

#include <array>

class QSocketNotifier;

// SIGTERM, SIGHUP and SIGINT as a Qt signal. The handler only writes a byte to
// a pipe; a notifier on the pipe's other end emits received() from whichever
// event loop runs, a message box's too. One instance at a time; it puts the
// default actions back when it goes.
class StopSignals final : public QObject {
    Q_OBJECT
public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // True once one of the signals has come, also one that no event loop has
    // delivered yet.
    bool arrived();

signals:
    void received();

private:
    // Empties the pipe; true when it held a byte.
    bool drain();

    std::array<int, 2> pipe_{-1, -1};
    QSocketNotifier* notifier_ = nullptr;  // owned by this object
    bool arrived_ = false;
};
