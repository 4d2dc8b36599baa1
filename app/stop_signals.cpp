#include "stop_signals.h"

#include <QSocketNotifier>

StopSignals::StopSignals(QObject* parent) : QObject(parent)
{
    if (pipe_.readEnd() < 0) {
        qWarning("Stop signals end the panel without closing its window: no pipe for them");
        return;
    }
    auto* notifier = new QSocketNotifier(pipe_.readEnd(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        if (pipe_.take() != 0) {
            arrived_ = true;
            emit received();
        }
    });
}

bool StopSignals::arrived()
{
    arrived_ = arrived_ || pipe_.take() != 0;
    return arrived_;
}
