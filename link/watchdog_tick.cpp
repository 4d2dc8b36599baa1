// The poll timer's tick: polls the controller, slows down once it answers,
// warns when it stays silent and stops for good when the port is closed.
#include "form1.h"

#include "commands.h"
#include "operation_error.h"
#include "platform_services.h"
#include "serial_component.h"
#include "texts.h"

#include <QLineEdit>
#include <QTimer>

#include <utility>

void Form1::Timer1_Timer()
{
    const bool lossAlreadyReported = std::exchange(portLossReported_, false);
    watchdog_.countTick();

    if (MSComm1.PortOpen()) {
        try {
            MSComm1.Output(Command::StatusQuery);
            Senddis->setText(QString::fromLatin1(Command::StatusQuery));
        } catch (const OperationError& error) {
            // The device failed under the write: stop polling as for a closed
            // port, and tell the operator why, in one box. Polling on would
            // raise a box on every tick, stacking under the first.
            Timer1->stop();
            reportError(error);
        }
    } else {
        Timer1->stop();
        if (!lossAlreadyReported)
            platform_.msgBox(Texts::PortClosed);
    }

    // Re-arming a running timer with the same interval would shift its ticks.
    if (watchdog_.sawReply(assembler_.Rxframe(3)) && Timer1->interval() != LinkWatchdog::SlowIntervalMs)
        Timer1->setInterval(LinkWatchdog::SlowIntervalMs);
    // Ticks go on while the warning is open; a later climb to the limit does
    // not stack a second warning on an unanswered one.
    if (watchdog_.linkFaultDue() && !linkFaultShown_) {
        linkFaultShown_ = true;
        platform_.msgBox(Texts::LinkFault);
        linkFaultShown_ = false;
    }
}
