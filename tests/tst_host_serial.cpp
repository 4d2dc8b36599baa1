// The host serial component on a real pseudo-terminal.
#include "form1.h"
#include "host_serial.h"
#include "operation_error.h"
#include "pty_pair.h"
#include "test_platform.h"
#include "unprivileged_run.h"

#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {
// A pty pair whose slave stands for COM1.
struct Pty : PtyPair {
    Pty() { qputenv("TAVRIN_COM1", path.toLocal8Bit()); }
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

    // Start-up's first run opens the port before it writes the line settings:
    // they apply to the open port at once, and the number of the open port may
    // be written again. Closing a closed port changes nothing.
    void settingsWrittenWhileOpenApplyAtOnce()
    {
        Pty pty;
        QVERIFY(!pty.path.isEmpty());
        HostSerial serial;
        serial.setCommPort(1);
        serial.setSettings("19200,n,8,2");  // a pty keeps 8 bits and no parity
        serial.setPortOpen(true);
        termios tio{};
        QCOMPARE(::tcgetattr(pty.slave, &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B19200));
        QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8 | CSTOPB));

        serial.setCommPort(1);
        serial.setSettings("9600,n,8,1");
        serial.setInputMode(1);
        serial.setRThreshold(1);
        QVERIFY(serial.PortOpen());
        QCOMPARE(::tcgetattr(pty.slave, &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
        QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));

        serial.setPortOpen(false);
        serial.setPortOpen(false);
        QVERIFY(!serial.PortOpen());
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

    void aBurstLosesNoByte()
    {
        Pty pty;
        HostSerial serial;
        openCom1(serial);
        QByteArray received;
        connect(&serial, &SerialComponent::OnComm, this, [&] { received += serial.Input(); });
        // The line holds only a few kilobytes: write as the panel reads.
        ::fcntl(pty.master, F_SETFL, O_NONBLOCK);
        QByteArray burst;
        for (int i = 0; i < 20000; ++i)
            burst.append(char((i * 7919) & 0xff));
        qsizetype sent = 0;
        QDeadlineTimer deadline(20000);
        while (sent < burst.size() && !deadline.hasExpired()) {
            const ssize_t n = ::write(pty.master, burst.constData() + sent, burst.size() - sent);
            if (n > 0)
                sent += n;
            QCoreApplication::processEvents();
        }
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), burst.size(), 20000);
        QCOMPARE(received, burst);
    }

    void notPermittedNamesTheReason()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to hand the device to another user");
        Pty pty;
        QCOMPARE(::fchmod(pty.slave, 0600), 0);
        // Open the device as an unprivileged user, in a child process.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TAVRIN_PROBE_OPEN", "1");
        const UnprivilegedRun probe(env);
        QVERIFY2(probe.started, qPrintable(probe.whyNotStarted));
        const QString text = QString::fromUtf8(probe.standardOutput);
        QCOMPARE(probe.exitCode, 0);
        QVERIFY2(text.startsWith("error NO: 8006--MSComm1: COM1 (" + pty.path + ")"), qPrintable(text));
        QVERIFY2(text.contains("permission denied"), qPrintable(text));
    }

    // The upgrade-ready reply closes the port: a status reply that arrived
    // with it and still waits in the component belongs to the closed session
    // and never reaches the window.
    void bytesQueuedBehindAnUpgradeReadyReplyAreDropped()
    {
        Pty pty;
        HostSerial serial;
        TestPlatform platform;
        Form1 form(serial, platform);
        form.startUp();
        form.Timer1->stop();
        QVERIFY(serial.PortOpen());
        const QByteArray both = QByteArray::fromHex("73757064"
                                                    "00050374");
        QCOMPARE(::write(pty.master, both.constData(), both.size()), ssize_t(both.size()));
        ::usleep(50000);  // both replies wait in the device before the first event
        QTRY_COMPARE_WITH_TIMEOUT(platform.messages.size(), 1, 10000);
        QCOMPARE(platform.messages.first(), QString("控制器软件升级准备就绪！请关闭串口，打开AVR下载软件进行下载。"));
        QTest::qWait(100);
        QVERIFY(!serial.PortOpen());
        QCOMPARE(form.Rxdis->text(), QString("73 75 70 64 "));
        QCOMPARE(form.replies().Rxhex(), QString());
        QCOMPARE(form.replies().Rxpos(), 0);
        QCOMPARE(form.Key0[0]->text(), QString("开"));
        QVERIFY(!form.replies().Stateword().has_value());
    }

    // Opening again while open fails and names the port that is open; that
    // port stays open and keeps working.
    void openingAnOpenPortFails_data()
    {
        QTest::addColumn<int>("nextPort");
        QTest::newRow("same port") << 1;
        QTest::newRow("another port picked meanwhile") << 3;
    }
    void openingAnOpenPortFails()
    {
        QFETCH(int, nextPort);
        Pty pty;
        ::fcntl(pty.master, F_SETFL, O_NONBLOCK);
        HostSerial serial;
        openCom1(serial);
        serial.setCommPort(std::int16_t(nextPort));
        try {
            serial.setPortOpen(true);
            QFAIL("opening an open port succeeded");
        } catch (const OperationError& error) {
            QCOMPARE(error.reportText(),
                     "error NO: 8005--MSComm1: port already open: COM1 (" + pty.path + ") is open, close it first");
        }
        QVERIFY(serial.PortOpen());
        serial.Output("s00t");
        QCOMPARE(pty.read(4), QByteArray("s00t"));
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

// With TAVRIN_PROBE_OPEN set, the program only tries to open COM1 and prints
// the error report: the permission test runs it as another user.
int main(int argc, char* argv[])
{
    // The port map reads and writes a settings store of the test's own.
    QStandardPaths::setTestModeEnabled(true);
    if (qEnvironmentVariableIsSet("TAVRIN_PROBE_OPEN")) {
        QCoreApplication app(argc, argv);
        HostSerial serial;
        try {
            serial.setPortOpen(true);
        } catch (const OperationError& error) {
            QTextStream(stdout) << error.reportText();
            return error.number() == SerialError::PermissionDenied ? 0 : 1;
        }
        return 2;
    }
    QApplication app(argc, argv);
    TestHostSerial test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_host_serial.moc"
