// The command buttons: each sends its command to the controller and echoes it.
#include "form1.h"

#include "commands.h"
#include "operation_error.h"
#include "platform_services.h"
#include "serial_component.h"
#include "texts.h"

#include <QLineEdit>

void Form1::sendCommand(const QByteArray& command, bool echo)
{
    // The port itself is asked on every click.
    if (!MSComm1.PortOpen()) {
        platform_.msgBox(Texts::PortClosed);
        return;
    }
    try {
        MSComm1.Output(command);
    } catch (const OperationError&) {
        // The device failed under the write. If that closed the port, the error
        // report about to be shown tells the operator; the next tick stops
        // polling without a second box for the same fault.
        portLossReported_ = !MSComm1.PortOpen();
        throw;
    }
    if (echo)
        Senddis->setText(QString::fromLatin1(command));
}

void Form1::Key0_Click(int index) { sendCommand(Command::channel(index), true); }
void Form1::Keyall_Click() { sendCommand(Command::AllOn, true); }
void Form1::Command1_Click() { sendCommand(Command::AllOff, true); }
void Form1::Upcomm_Click() { sendCommand(Command::Upgrade, true); }
// The reset byte is not echoed: the last command stays on show.
void Form1::Rstcomm_Click() { sendCommand(Command::Reset, false); }
