// The host serial component on a real pseudo-terminal.
#include "host_serial.h"
#include "operation_error.h"

#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {
// A pty pair whose slave stands for COM1.
struct Pty {
    int master = -1;
    int slave = -1;
    QString path;
    Pty()
    {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = QString::fromLocal8Bit(name);
        qputenv("TAVRIN_COM1", path.toLocal8Bit());
    }
    ~Pty()
    {
        closeMaster();
        if (slave >= 0)
            ::close(slave);
    }
    void closeMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
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

void openCom1(HostSerial& serial)
{
    serial.setCommPort(1);
    serial.setSettings("9600,n,8,1");
    serial.setInputMode(1);
    serial.setRThreshold(1);
    serial.setPortOpen(true);
}
}  // namespace

class TestHostSerial : public QObject {
    Q_OBJECT
private slots:
    void opensAt9600EightNoneOne()
    {
        Pty pty;
        QVERIFY(!pty.path.isEmpty());
        ::fcntl(pty.master, F_SETFL, O_NONBLOCK);
        HostSerial serial;
        openCom1(serial);
        QVERIFY(serial.PortOpen());
        termios tio{};
        QCOMPARE(::tcgetattr(pty.slave, &tio), 0);
        QCOMPARE(cfgetispeed(&tio), speed_t(B9600));
        QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(tio.c_cflag & PARENB, tcflag_t(0));
        QCOMPARE(tio.c_cflag & CSTOPB, tcflag_t(0));

        // Every byte value passes unchanged.
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        serial.Output(all);
        QCOMPARE(pty.read(all.size()), all);
    }

    void bytesArrivingTogetherComeOneEventEach()
    {
        Pty pty;
        HostSerial serial;
        openCom1(serial);
        QByteArray received;
        int events = 0;
        connect(&serial, &SerialComponent::OnComm, this, [&] {
            ++events;
            QCOMPARE(serial.CommEvent(), SerialComponent::ComEvReceive);
            const QByteArray read = serial.Input();
            QCOMPARE(read.size(), 1);
            received += read;
        });
        const QByteArray reply = QByteArray::fromHex("00050374");
        QCOMPARE(::write(pty.master, reply.constData(), reply.size()), ssize_t(4));
        QTRY_COMPARE_WITH_TIMEOUT(received, reply, 10000);
        QCOMPARE(events, 4);
    }

    void otherEndGoingAwayClosesThePort()
    {
        Pty pty;
        HostSerial serial;
        openCom1(serial);
        ::close(pty.slave);
        pty.slave = -1;
        pty.closeMaster();
        QTRY_VERIFY_WITH_TIMEOUT(!serial.PortOpen(), 10000);
        QVERIFY_THROWS_EXCEPTION(OperationError, serial.Output("s00t"));
    }

    void openFailuresNameTheDevice()
    {
        qputenv("TAVRIN_COM2", "/nonexistent/ttyTAVRIN");
        HostSerial serial;
        serial.setCommPort(2);
        try {
            serial.setPortOpen(true);
            QFAIL("opening a missing device succeeded");
        } catch (const OperationError& error) {
            QCOMPARE(error.number(), SerialError::DeviceMissing);
            QVERIFY(error.reportText().contains("COM2 (/nonexistent/ttyTAVRIN)"));
            QVERIFY(error.reportText().contains("does not exist"));
        }
        QVERIFY(!serial.PortOpen());

        // A device another program holds.
        Pty pty;
        HostSerial holder;
        openCom1(holder);
        HostSerial second;
        second.setCommPort(1);
        try {
            second.setPortOpen(true);
            QFAIL("opening a held device succeeded");
        } catch (const OperationError& error) {
            QCOMPARE(error.number(), SerialError::DeviceBusy);
            QVERIFY(error.reportText().contains("in use"));
        }
    }
};

QTEST_GUILESS_MAIN(TestHostSerial)
#include "tst_host_serial.moc"
