// What assistive technology hears: each control's accessible name is the
// caption it shows (Qt takes it from the caption and follows its changes),
// and its accessible description says what the control is for.
#include "form1.h"

#include "colors.h"
#include "frame.h"
#include "lamp.h"
#include "outlet_label.h"
#include "platform_services.h"
#include "texts.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

void Form1::describeControlsForAssistiveTechnology()
{
    for (int i = 0; i < Channels; ++i) {
        // A set bit, painted red, is an outlet that is on.
        Lamp0[i]->setAccessibleName(QStringLiteral("outlet %1 lamp").arg(i + 1));
        Lamp0[i]->describeColors(
            {{Colors::Red, QStringLiteral("red: on")}, {Colors::Green, QStringLiteral("green: off")}});
        Lamp0[Channels + i]->setAccessibleName(QStringLiteral("spare lamp %1").arg(i + 1));
        Lamp0[Channels + i]->describeColors({{Colors::Green, QStringLiteral("green: not in use")}});
        Key1[i]->setAccessibleDescription(QStringLiteral("spare button, not in use"));
    }

    // The port lamp is written at its own steps and may disagree with the
    // port, so it tells its colour and what the colour stands for, never the
    // port's state.
    Shape1->setAccessibleName(QStringLiteral("port lamp"));
    Shape1->describeColors({{Colors::Green, QStringLiteral("green: the port-open colour")},
                            {Colors::Red, QStringLiteral("red: the port-closed colour")}});

    Keyall->setAccessibleDescription(QStringLiteral("switches all outlets on"));
    Command1->setAccessibleDescription(QStringLiteral("switches all outlets off"));
    Upcomm->setAccessibleDescription(QStringLiteral("puts the controller into firmware upgrade mode"));
    Rstcomm->setAccessibleDescription(QStringLiteral("resets the controller"));
    Comopen->setAccessibleDescription(QStringLiteral("opens or closes the serial port"));
    Label1->setAccessibleDescription(QStringLiteral("the port lamp below shows the port's colour"));
    Frame1->setAccessibleDescription(QStringLiteral("holds the serial port list"));
    Frame2->setAccessibleDescription(QStringLiteral("holds the last command sent"));
    Frame3->setAccessibleDescription(QStringLiteral("holds the bytes of the last reply"));
    // The text boxes show no caption of their own: their frames name them.
    Senddis->setAccessibleName(Frame2->title());
    Senddis->setAccessibleDescription(QStringLiteral("the last command sent to the controller"));
    Rxdis->setAccessibleName(Frame3->title());
    Rxdis->setAccessibleDescription(QStringLiteral("the bytes of the last reply, in hexadecimal"));
    Com->setAccessibleDescription(QStringLiteral("the serial port"));
    nameShownPortEntry();
    connect(Com, &QComboBox::currentIndexChanged, this, &Form1::nameShownPortEntry);
}

void Form1::labelOutlets()
{
    QStringList keys;
    for (int i = 0; i < Channels; ++i)
        keys << QString::number(i + 1);
    const QStringList names = platform_.getSettings(Texts::OutletsSection, keys);
    for (int i = 0; i < Channels && i < names.size(); ++i) {
        const QString label = outletLabel(i + 1, names.at(i).trimmed().left(80));
        Key0[i]->setToolTip(label);
        Key0[i]->setAccessibleDescription(label);
        Lamp0[i]->setToolTip(label);
        Lamp0[i]->setPurpose(label);
    }
}

void Form1::nameShownPortEntry()
{
    const int shown = Com->currentIndex();
    Com->setAccessibleName(shown >= 0 ? Com->itemText(shown) : QStringLiteral("no port selected"));
}
