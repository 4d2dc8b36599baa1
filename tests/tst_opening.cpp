// Opening a COM number on real pseudo-terminals: a mapping to a symbolic link
// opens and locks the device itself, and each failure says what is wrong and
// how to put it right.
#include "fake_device_listing.h"
#include "host_serial.h"
#include "lock_owner.h"
#include "open_failure.h"
#include "operation_error.h"
#include "pty_pair.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QSettings>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A pty pair whose master never blocks the test.
struct Pty : PtyPair {
    Pty() { makeMasterNonBlocking(); }
};

// The test program run again as a child: it holds a device the way another
// program would, or tries to open COM1 and prints the error report.
struct Probe {
    QProcess process;
    bool start(const QString& mode, const QString& device, bool unprivileged, const QString& program)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TAVRIN_PROBE", mode);
        env.insert("TAVRIN_COM1", device);
        process.setProcessEnvironment(env);
        if (unprivileged)
            process.setChildProcessModifier([] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                    ::_exit(3);
            });
        process.start(program, {});
        return process.waitForStarted(10000);
    }
    ~Probe()
    {
        if (process.state() != QProcess::NotRunning) {
            process.closeWriteChannel();
            if (!process.waitForFinished(10000))
                process.kill();
        }
    }
};

// The lock files in the lock folders that name a device, with the first line of each.
QMap<QString, QString> lockFilesNaming(const QString& name)
{
    QMap<QString, QString> found;
    for (const QString& folder : deviceLockFolders()) {
        QFile lock(folder + "/LCK.." + name);
        if (lock.open(QIODevice::ReadOnly))
            found.insert(QFileInfo(lock).canonicalFilePath(), QString::fromLatin1(lock.readLine()).trimmed());
    }
    return found;
}

QString lockName(const QString& device) { return QString(device).remove(0, 5).replace('/', '_'); }

}  // namespace

class TestOpening : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init()
    {
        for (int n = 1; n <= 4; ++n)
            qunsetenv(qPrintable(QString("TAVRIN_COM%1").arg(n)));
    }

    // The panel reaches the device a link points to, and locks the device's
    // own name, so a program that opens the device by that name is kept out
    // (also when both run as root, past the device's exclusive mode).
    void aLinkOpensAndLocksTheDeviceItself()
    {
        Pty pty;
        QVERIFY(!pty.path.isEmpty());
        QTemporaryDir dir;
        const QString link = dir.filePath("orvessa");
        QVERIFY(QFile::link(pty.path, link));
        auto settings = std::make_unique<QSettings>(dir.filePath("TavrinV1.3prj.conf"), QSettings::IniFormat);
        settings->setValue("Ports/COM1", link);
        HostSerial serial(std::move(settings), std::make_unique<FakeDeviceListing>());
        serial.setCommPort(1);
        serial.setSettings("9600,n,8,1");
        serial.setPortOpen(true);

        serial.Output("s00t");
        QCOMPARE(pty.read(4), QByteArray("s00t"));
        const QMap<QString, QString> locks = lockFilesNaming(lockName(pty.path));
        QCOMPARE(locks.size(), 1);
        QCOMPARE(locks.first(), QString::number(QCoreApplication::applicationPid()));
        QVERIFY(lockFilesNaming(QString(link).replace('/', '_')).isEmpty());
        QCOMPARE(serial.describePort(1), "COM1: pseudo-terminal (" + pty.path + ")");

        QSerialPort other(pty.path);
        QVERIFY(!other.open(QIODevice::ReadWrite));
        QCOMPARE(other.error(), QSerialPort::PermissionError);

        // Opened by its own name through the panel's component, it says who holds it.
        qputenv("TAVRIN_COM2", pty.path.toLocal8Bit());
        HostSerial second(std::make_unique<QSettings>(dir.filePath("other.conf"), QSettings::IniFormat),
                          std::make_unique<FakeDeviceListing>());
        second.setCommPort(2);
        try {
            second.setPortOpen(true);
            QFAIL("a device held through a link opened again by its own name");
        } catch (const OperationError& error) {
            QCOMPARE(error.reportText(),
                     QString("error NO: 8005--MSComm1: COM2 (%1) cannot be opened: the device is in use by this "
                             "program, tst_opening (process %2)")
                         .arg(pty.path)
                         .arg(QCoreApplication::applicationPid()));
        }

        serial.setPortOpen(false);
        QVERIFY(lockFilesNaming(lockName(pty.path)).isEmpty());
        QVERIFY(other.open(QIODevice::ReadWrite));
    }

    // A lock file names who holds a device until what it names is gone: its
    // process ended, its number belongs to another program, or it was written
    // on another host.
    void lockFiles_data()
    {
        QTest::addColumn<QString>("contents");  // {pid}: this process, {ended}: one that has ended, {host}: this host
        QTest::addColumn<QString>("told");      // {file}: the lock file

        QTest::newRow("held, as QSerialPort writes it") << "{pid}\ntst_opening\n{host}\n"
                                                        << "tst_opening (process {pid})";
        QTest::newRow("held, UUCP style naming nobody") << "      {pid}\n"
                                                        << "tst_opening (process {pid})";
        QTest::newRow("process number reused")
            << "{pid}\nTavrinV1.3\n{host}\n"
            << "a stale lock file {file}: it names TavrinV1.3 (process {pid}), but that process is now tst_opening";
        QTest::newRow("written on another host")
            << "{pid}\ntst_opening\nrack-7\n"
            << "a stale lock file {file}: it names tst_opening (process {pid}) on another host, rack-7";
        QTest::newRow("process ended")
            << "{ended}\nTavrinV1.3\n{host}\n"
            << "a stale lock file {file}: it names TavrinV1.3 (process {ended}), which has ended";
    }
    void lockFiles()
    {
        QFETCH(QString, contents);
        QFETCH(QString, told);
        QProcess ended;
        ended.start("true");
        QVERIFY(ended.waitForStarted());
        const QString endedPid = QString::number(ended.processId());
        QVERIFY(ended.waitForFinished());
        const QString pid = QString::number(QCoreApplication::applicationPid());
        QTemporaryDir folder;
        const QString file = folder.filePath("LCK..ttyUSB0");
        QFile lock(file);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QString(contents)
                       .replace("{pid}", pid)
                       .replace("{ended}", endedPid)
                       .replace("{host}", QSysInfo::machineHostName())
                       .toUtf8());
        lock.close();
        const std::optional<LockOwner> owner = deviceLock("/dev/ttyUSB0", {folder.path()});
        QVERIFY(owner);
        QCOMPARE(owner->describe(), told.replace("{pid}", pid).replace("{ended}", endedPid).replace("{file}", file));
        QCOMPARE(owner->stale(), !told.startsWith("tst_opening"));
    }

    void failuresSayWhatToDo_data()
    {
        QTest::addColumn<QString>("situation");
        // %PTY%, %PTYGROUP% (its group), %DIR%, %PID% and %SETTINGS% stand for this run's values
        QTest::addColumn<QString>("report");

        const QString present =
            "Serial devices present: COM1: on-board serial port (/dev/ttyS0); COM3: FT232R USB UART, serial A10K3 "
            "(/dev/ttyUSB0). ";
        const QString howToMap = "To map COM2 to a device, set the environment variable TAVRIN_COM2=<device>, or "
                                 "COM2=<device> in the [Ports] group of %SETTINGS%.";
        QTest::newRow("missing, mapped in the settings file")
            << "missing in settings"
            << "error NO: 8002--MSComm1: COM2 (/nonexistent/ttyUSB7) cannot be opened: the device does not exist. " +
                   present + howToMap;
        QTest::newRow("missing, mapped by the environment")
            << "missing in environment"
            << "error NO: 8002--MSComm1: COM2 (/nonexistent/ttyUSB7) cannot be opened: the device does not exist. " +
                   present + howToMap + " TAVRIN_COM2 is set now, and comes before the settings file.";
        QTest::newRow("missing, a link left behind")
            << "dangling link"
            << "error NO: 8002--MSComm1: COM2 (%DIR%/gone) cannot be opened: the device does not exist. " + present +
                   howToMap;
        QTest::newRow("missing, nothing present")
            << "nothing present"
            << "error NO: 8002--MSComm1: COM2 (/nonexistent/ttyUSB7) cannot be opened: the device does not exist. No "
               "serial device is present. " +
                   howToMap;
        QTest::newRow("held by another program")
            << "held"
            << "error NO: 8005--MSComm1: COM2 (%PTY%) cannot be opened: the device is in use by tst_opening "
               "(process %PID%); stop that program, and try again";
        QTest::newRow("held by another program, opened through a link")
            << "held through link"
            << "error NO: 8005--MSComm1: COM2 (%DIR%/link → %PTY%) cannot be opened: the device is in use by "
               "tst_opening (process %PID%); stop that program, and try again";
        // Made 0600, the pseudo-terminal is its group's (tty, or root in some
        // containers) and not dialout's: joining dialout would not let nobody in.
        QTest::newRow("not permitted")
            << "not permitted"
            << "error NO: 8006--MSComm1: COM1 (%PTY%) cannot be opened: permission denied. %PTY% belongs to group "
               "%PTYGROUP% with mode 0600; this user (nobody) is not in %PTYGROUP%: give it to the dialout group with "
               "mode 0660 by a udev rule (GROUP=\"dialout\", MODE=\"0660\" in a rule matching the device, in "
               "/etc/udev/rules.d), and add the user nobody to the dialout group (sudo adduser nobody dialout), then "
               "log in again";
    }
    void failuresSayWhatToDo()
    {
        QFETCH(QString, situation);
        QFETCH(QString, report);
        Pty pty;
        QVERIFY(!pty.path.isEmpty());
        QTemporaryDir dir;
        const QString settingsFile = dir.filePath("TavrinV1.3prj.conf");
        auto settings = std::make_unique<QSettings>(settingsFile, QSettings::IniFormat);
        auto listing = std::make_unique<FakeDeviceListing>();
        if (situation != "nothing present")
            listing->devices = {onBoardPort(0), usbAdapter("/dev/ttyUSB0", "FT232R USB UART", "A10K3", "1")};
        QString com2 = "/nonexistent/ttyUSB7";
        if (situation == "dangling link") {
            com2 = dir.filePath("gone");
            QVERIFY(QFile::link("/nonexistent/ttyUSB7", com2));
        } else if (situation == "held") {
            com2 = pty.path;
        } else if (situation == "held through link") {
            com2 = dir.filePath("link");
            QVERIFY(QFile::link(pty.path, com2));
        }
        if (situation == "missing in environment")
            qputenv("TAVRIN_COM2", com2.toLocal8Bit());
        else
            settings->setValue("Ports/COM2", com2);

        Probe probe;
        QString text;
        if (situation == "not permitted") {
            if (::geteuid() != 0)
                QSKIP("needs root to hand the device to another user");
            QCOMPARE(::fchmod(pty.slave, 0600), 0);
            text = openAsNobody(probe, pty.path);
        } else {
            if (situation.startsWith("held")) {
                QVERIFY(probe.start("hold", pty.path, false, QCoreApplication::applicationFilePath()));
                QVERIFY(probe.process.waitForReadyRead(10000));
                QCOMPARE(probe.process.readLine(), QByteArray("held\n"));
            }
            HostSerial serial(std::move(settings), std::move(listing));
            serial.refreshPorts();  // as the panel does when it starts
            serial.setCommPort(2);
            try {
                serial.setPortOpen(true);
            } catch (const OperationError& error) {
                text = error.reportText();
            }
            QVERIFY(!serial.PortOpen());
        }
        struct stat ptyStatus {};
        QCOMPARE(::fstat(pty.slave, &ptyStatus), 0);
        const group* ptyGroup = ::getgrgid(ptyStatus.st_gid);
        report.replace("%PTYGROUP%", ptyGroup ? ptyGroup->gr_name : QString::number(ptyStatus.st_gid))
            .replace("%PTY%", pty.path)
            .replace("%DIR%", dir.path())
            .replace("%PID%", QString::number(probe.process.processId()))
            .replace("%SETTINGS%", settingsFile);
        QCOMPARE(text, report);
    }

    // A permission failure names the fix from the facts: the user's groups,
    // the device's group and mode. Adding the user to the group that may
    // open the device is advised only when that fixes it; never a group the
    // user is in already.
    void notPermittedNamesWhatFixesIt_data()
    {
        QTest::addColumn<QStringList>("userGroups");
        QTest::addColumn<QString>("deviceGroup");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("advised");  // the group that may open it, as permittedGroup() names it
        QTest::addColumn<bool>("joinedSinceLogin");
        QTest::addColumn<QString>("told");  // after "/dev/ttyUSB0 cannot be opened: permission denied. "

        const QString udev = "give it to the dialout group with mode 0660 by a udev rule (GROUP=\"dialout\", "
                             "MODE=\"0660\" in a rule matching the device, in /etc/udev/rules.d)";
        QTest::newRow("a service in dialout, the device not yet given to dialout")
            << QStringList{"orvessa-serve", "dialout"} << "root" << 0600 << "dialout" << false
            << "/dev/ttyUSB0 belongs to group root with mode 0600; this user (orvessa-serve) is in dialout but not "
               "in root: " +
                   udev;
        QTest::newRow("not in dialout, the device not yet given to dialout")
            << QStringList{"ann"} << "root" << 0600 << "dialout" << false
            << "/dev/ttyUSB0 belongs to group root with mode 0600; this user (ann) is not in root: " + udev +
                   ", and add the user ann to the dialout group (sudo adduser ann dialout), then log in again";
        QTest::newRow("joined dialout since login, the device not yet given to dialout")
            << QStringList{"ann"} << "root" << 0600 << "dialout" << true
            << "/dev/ttyUSB0 belongs to group root with mode 0600; this user (ann) is not in root: " + udev +
                   ", then log out and log in again: the user ann is in the dialout group, but this session began "
                   "before that";
        QTest::newRow("in the device's group, which its mode shuts out")
            << QStringList{"ann", "dialout"} << "dialout" << 0600 << "dialout" << false
            << "/dev/ttyUSB0 belongs to group dialout with mode 0600; this user (ann) is in dialout, but its mode "
               "does not let the group read and write it: " +
                   udev;
        QTest::newRow("in the device's group, which may read and write it")
            << QStringList{"ann", "dialout"} << "dialout" << 0660 << "dialout" << false
            << "/dev/ttyUSB0 belongs to group dialout with mode 0660; this user (ann) is in dialout, yet may not read "
               "and write it: an access control list or a security module refuses it (getfacl /dev/ttyUSB0)";
    }
    void notPermittedNamesWhatFixesIt()
    {
        QFETCH(QStringList, userGroups);
        QFETCH(QString, deviceGroup);
        QFETCH(int, mode);
        QFETCH(QString, advised);
        QFETCH(bool, joinedSinceLogin);
        QFETCH(QString, told);

        OpenFailure failure;
        failure.kind = OpenFailure::Kind::NotPermitted;
        failure.attempt.mappedPath = failure.attempt.realDevice = "/dev/ttyUSB0";
        failure.user = userGroups.first();
        failure.userGroups = userGroups;
        failure.group = advised;
        failure.joinedSinceLogin = joinedSinceLogin;
        failure.deviceGroup = deviceGroup;
        failure.deviceMode = unsigned(mode);
        QCOMPARE(describeOpenFailure(failure), "/dev/ttyUSB0 cannot be opened: permission denied. " + told);
    }

private:
    // The report of a child that opens COM1 as the user nobody. A test binary
    // under a folder only root may enter is copied where nobody can run it.
    QString openAsNobody(Probe& probe, const QString& device)
    {
        QString program = QCoreApplication::applicationFilePath();
        QTemporaryDir copy(QDir::tempPath() + "/tavrin-probe-XXXXXX");
        if (::access(qPrintable(program), R_OK) != 0 || !everyoneMayEnter(QFileInfo(program).path())) {
            ::chmod(qPrintable(copy.path()), 0755);
            const QString copied = copy.filePath("tst_opening");
            if (!QFile::copy(program, copied))
                return "the test program could not be copied for another user";
            QFile::setPermissions(copied, QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                              QFileDevice::ExeOther);
            program = copied;
        }
        if (!probe.start("open", device, true, program))
            return "the test program could not run as another user";
        probe.process.waitForFinished(20000);
        return QString::fromUtf8(probe.process.readAllStandardOutput());
    }

    static bool everyoneMayEnter(const QString& folder)
    {
        for (QDir dir(folder);; dir.cdUp()) {
            const QFileInfo info(dir.absolutePath());
            if (!(info.permissions() & QFileDevice::ExeOther))
                return false;
            if (dir.isRoot())
                return true;
        }
    }
};

// TAVRIN_PROBE=hold: holds the device TAVRIN_COM1 names until its input closes.
// TAVRIN_PROBE=open: opens COM1 and prints the error report.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const QByteArray probe = qgetenv("TAVRIN_PROBE");
    if (probe == "hold") {
        QSerialPort port(qEnvironmentVariable("TAVRIN_COM1"));
        if (!port.open(QIODevice::ReadWrite))
            return 3;
        QFile out;
        out.open(stdout, QIODevice::WriteOnly);
        out.write("held\n");
        out.flush();
        QFile in;
        in.open(stdin, QIODevice::ReadOnly);
        in.readAll();
        return 0;
    }
    if (probe == "open") {
        HostSerial serial;
        try {
            serial.setPortOpen(true);
        } catch (const OperationError& error) {
            QTextStream(stdout) << error.reportText();
            return 0;
        }
        return 2;
    }
    TestOpening test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_opening.moc"
