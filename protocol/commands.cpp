#include "commands.h"

#include <stdexcept>

namespace Command {

QByteArray channel(int channel)
{
    if (channel < 0 || channel >= ChannelCount)
        throw std::out_of_range("channel index out of range");
    QByteArray command("s0");
    command.append(static_cast<char>('0' + channel));
    command.append('p');
    return command;
}

}  // namespace Command
