#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

// A pseudo-terminal pair: the component under test opens the slave by its
// path; the test reads at the master what was written to the slave, and
// writes there what the slave should receive.
struct PtyPair {
    int master = -1;
    int slave = -1;
    QString path;

    PtyPair()
    {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = QString::fromLocal8Bit(name);
    }
    ~PtyPair()
    {
        closeMaster();
        if (slave >= 0)
            ::close(slave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    void closeMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    void makeMasterNonBlocking() { ::fcntl(master, F_SETFL, O_NONBLOCK); }

    // Up to `count` bytes from the master, waiting at most 10 s for them.
    QByteArray read(int count)
    {
        QByteArray got;
        QDeadlineTimer deadline(10000);
        while (got.size() < count && !deadline.hasExpired()) {
            char buffer[64];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, n);
            else
                QTest::qWait(5);
        }
        return got;
    }
};
