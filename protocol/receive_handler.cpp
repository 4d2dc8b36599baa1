// Received bytes: filed and traced by the reply assembler; a recognised reply
// is acted on here.
#include "form1.h"

#include "colors.h"
#include "lamp.h"
#include "platform_services.h"
#include "serial_component.h"
#include "texts.h"

#include <QLineEdit>
#include <QPushButton>

void Form1::MSComm1_OnComm()
{
    using Reply = ReplyAssembler::Reply;
    const Reply reply = MSComm1.CommEvent() == SerialComponent::ComEvReceive ? assembler_.receive(MSComm1.Input())
                                                                             : assembler_.otherEvent();
    switch (reply) {
    case Reply::None:
        return;
    case Reply::Status:
        state();
        Rxdis->setText(assembler_.Rxhex());
        break;
    case Reply::UpgradeReady:
        // The controller now waits for the download software, which needs the port.
        setPortOpen(false);
        Comopen->setText(Texts::OpenPort);
        Shape1->setFillColor(Colors::Red);
        platform_.msgBox(Texts::UpgradeReady);
        Rxdis->setText(assembler_.Rxhex());
        break;
    }
    assembler_.reset();
}
