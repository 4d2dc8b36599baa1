#pragma once

#include <QByteArray>
#include <QDeadlineTimer>

// The bytes to and from the board, without knowing what they mean.
class BoardLink {
public:
    virtual ~BoardLink() = default;

    // Drops whatever was received and not read yet.
    virtual void discardInput() = 0;
    // Writes the bytes whole and waits until they have left; false when the
    // device failed.
    virtual bool write(const QByteArray& bytes) = 0;
    // The bytes received by `deadline`: returns as soon as any are there,
    // empty when none came in time.
    virtual QByteArray read(QDeadlineTimer deadline) = 0;
    // The device failed (gone, unplugged): nothing more will come.
    virtual bool broken() const = 0;
    // Why the last write or read failed, for the caller's message.
    virtual QString failure() const = 0;
};
