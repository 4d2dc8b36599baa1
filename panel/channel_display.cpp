// The twelve channels' lamps and button captions.
#include "form1.h"

#include "colors.h"
#include "lamp.h"
#include "operation_error.h"
#include "texts.h"

#include <QPushButton>

void Form1::paintChannel(int channel, bool set)
{
    const auto k = static_cast<std::size_t>(channel);
    keystate_[k] = set ? -1 : 0;
    Lamp0[k]->setFillColor(set ? Colors::Red : Colors::Green);
    Key0[k]->setText(set ? Texts::Off : Texts::On);
}

void Form1::state()
{
    const unsigned word = assembler_.Stateword().value_or(0);
    for (int k = 0; k < Channels; ++k)
        paintChannel(k, (word & (1u << k)) != 0);
}

void Form1::state_dis(std::int16_t index)
{
    if (index < 0 || index >= Channels)
        throw OperationError(ErrorNumber::SubscriptOutOfRange, ErrorSource::App,
                             QStringLiteral("channel index %1 is out of range").arg(index));
    paintChannel(index, keystate_[static_cast<std::size_t>(index)] == 0);
}
