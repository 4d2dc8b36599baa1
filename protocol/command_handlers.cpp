// The command buttons: each sends its command to the controller and echoes it.
#include "form1.h"

#include "commands.h"
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
    MSComm1.Output(command);
    if (echo)
        Senddis->setText(QString::fromLatin1(command));
}

void Form1::Key0_Click(int index) { sendCommand(Command::channel(index), true); }
void Form1::Keyall_Click() { sendCommand(Command::AllOn, true); }
void Form1::Command1_Click() { sendCommand(Command::AllOff, true); }
void Form1::Upcomm_Click() { sendCommand(Command::Upgrade, true); }
// The reset byte is not echoed: the last command stays on show.
void Form1::Rstcomm_Click() { sendCommand(Command::Reset, false); }
