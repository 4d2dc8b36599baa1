#include "byte_events.h"

void ByteEvents::add(const QByteArray& bytes)
{
    pending_.append(bytes);
    if (waiting() > 0)
        post();
}

QByteArray ByteEvents::take()
{
    QByteArray bytes;
    bytes.swap(current_);
    return bytes;
}

void ByteEvents::clear()
{
    pending_.clear();
    head_ = 0;
    current_.clear();
}

void ByteEvents::post()
{
    if (posted_)
        return;
    posted_ = true;
    QMetaObject::invokeMethod(
        this, [this] { deliverOne(); }, Qt::QueuedConnection);
}

void ByteEvents::deliverOne()
{
    posted_ = false;
    if (waiting() <= 0)
        return;
    current_.append(pending_.at(head_++));
    if (head_ == pending_.size()) {
        pending_.clear();
        head_ = 0;
    } else {
        // The next byte gets its own event, also while this one's handler waits in a nested loop.
        post();
    }
    delivered_();
}
