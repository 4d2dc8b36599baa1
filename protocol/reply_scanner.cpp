#include "reply_scanner.h"

bool ReplyScanner::matches(const char* first) const
{
    if (kind_ == Kind::Status)
        return first[0] == '\0' && first[3] == 't';
    return first[1] == 'u' && first[2] == 'p' && first[3] == 'd';
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
    const auto byte = [this](int i) { return static_cast<std::uint8_t>(reply_->at(i)); };
    return static_cast<std::uint16_t>(byte(1) + 256u * byte(2));
}
