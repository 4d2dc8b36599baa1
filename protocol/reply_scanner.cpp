#include "reply_scanner.h"

#include "reply_format.h"

bool ReplyScanner::matches(const char* first) const
{
    const auto* group = reinterpret_cast<const std::uint8_t*>(first);
    return kind_ == Kind::Status ? ReplyFormat::isStatus(group) : ReplyFormat::isUpgradeReady(group);
}

bool ReplyScanner::feed(const QByteArray& bytes)
{
    if (reply_)
        return true;
    const QByteArray window = tail_ + bytes;
    for (qsizetype i = 0; i + ReplySize <= window.size(); ++i) {
        if (matches(window.constData() + i)) {
            reply_ = window.mid(i, ReplySize);
            skipped_ += i;
            tail_.clear();
            return true;
        }
    }
    // The last three bytes may be the start of a reply the next read completes.
    const qsizetype keep = qMin<qsizetype>(window.size(), ReplySize - 1);
    skipped_ += window.size() - keep;
    tail_ = window.right(keep);
    return false;
}

std::optional<std::uint16_t> ReplyScanner::stateword() const
{
    if (!reply_ || kind_ != Kind::Status)
        return std::nullopt;
    return ReplyFormat::stateword(reinterpret_cast<const std::uint8_t*>(reply_->constData()));
}
