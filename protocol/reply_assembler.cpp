#include "reply_assembler.h"

#include "reply_format.h"

void ReplyAssembler::wrap()
{
    if (rxpos_ > 4)
        rxpos_ = 0;
}

ReplyAssembler::Reply ReplyAssembler::receive(const QByteArray& bytes)
{
    wrap();
    rxbuf_ = bytes;
    if (!rxbuf_.isEmpty())
        file(static_cast<std::uint8_t>(rxbuf_.back()));
    return recognise();
}

ReplyAssembler::Reply ReplyAssembler::otherEvent()
{
    wrap();
    return recognise();
}

void ReplyAssembler::file(std::uint8_t byte)
{
    if (traceCount_ < TraceLimit) {
        trace_[static_cast<std::size_t>((traceStart_ + traceCount_) % TraceLimit)] = byte;
        ++traceCount_;
    } else {
        trace_[static_cast<std::size_t>(traceStart_)] = byte;
        traceStart_ = (traceStart_ + 1) % TraceLimit;
    }
    rxframe_[static_cast<std::size_t>(rxpos_)] = byte;
    ++rxpos_;
}

ReplyAssembler::Reply ReplyAssembler::recognise()
{
    if (rxpos_ != ReplyFormat::Size)
        return Reply::None;
    const std::uint8_t* group = rxframe_.data();
    // A group ending in 'd' is an upgrade-ready reply or nothing, never a status reply.
    if (group[3] == ReplyFormat::UpgradeMark)
        return ReplyFormat::isUpgradeReady(group) ? Reply::UpgradeReady : Reply::None;
    if (ReplyFormat::isStatus(group)) {
        stateword_ = ReplyFormat::stateword(group);
        return Reply::Status;
    }
    return Reply::None;
}

void ReplyAssembler::reset()
{
    traceStart_ = 0;
    traceCount_ = 0;
    rxpos_ = 0;
}

QString ReplyAssembler::Rxhex() const
{
    QString text;
    text.reserve(traceCount_ * 3);
    for (int i = 0; i < traceCount_; ++i) {
        text += QString::number(trace_[static_cast<std::size_t>((traceStart_ + i) % TraceLimit)], 16).toUpper();
        text += QLatin1Char(' ');
    }
    return text;
}
