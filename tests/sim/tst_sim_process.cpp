// Runs the built orvessa-sim and talks to it through its pseudo-terminal,
// as the panel does. Waits are bounded (10 s) and never measured.
#include <QtTest>

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 10'000;
const QString kSim = QStringLiteral(ORVESSA_SIM_EXECUTABLE);

// The panel's end. O_CLOEXEC keeps simulators started later from inheriting
// it, which would hide the panel closing the port.
class PtyClient {
public:
    explicit PtyClient(const QString& path, bool configure = true)
        : fd_(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios tio{};
        if (configure && fd_ >= 0 && ::tcgetattr(fd_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::cfsetspeed(&tio, B9600);
            ::tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~PtyClient() { close(); }
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;

    int fd() const { return fd_; }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool send(const QByteArray& bytes) { return ::write(fd_, bytes.constData(), size_t(bytes.size())) == bytes.size(); }
    // Hex of what arrives until `count` bytes are in or 10 s have passed.
    QByteArray receiveHex(qsizetype count)
    {
        QByteArray got;
        for (QDeadlineTimer deadline(kWaitMs); got.size() < count && !deadline.hasExpired();) {
            pollfd pfd{fd_, POLLIN, 0};
            char buf[64];
            if (::poll(&pfd, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(fd_, buf, size_t(qMin<qsizetype>(count - got.size(), 64)));
            got.append(buf, qMax<ssize_t>(n, 0));
        }
        return got.toHex();
    }
    // Hex of what is readable now. A read on an empty tty first waits for
    // bytes the master has written but the kernel has not delivered yet.
    QByteArray pendingHex()
    {
        char buf[64];
        return QByteArray(buf, qMax<ssize_t>(::read(fd_, buf, sizeof buf), 0)).toHex();
    }

private:
    int fd_;
};

// A running simulator; the first stdout line is the slave path.
struct SimRun {
    QProcess process;
    QString slavePath;
    QByteArray out;

    ~SimRun()
    {
        process.kill();
        process.waitForFinished(kWaitMs);
    }
    bool start(const QStringList& args)
    {
        process.start(kSim, args);
        QDeadlineTimer deadline(kWaitMs);
        while (!out.contains('\n') && !deadline.hasExpired() && process.waitForReadyRead(kWaitMs)) {
            out += process.readAllStandardOutput();
        }
        slavePath = QString::fromLocal8Bit(out.left(out.indexOf('\n')));
        return slavePath.startsWith("/dev/");
    }
    QStringList logLines()
    {
        out += process.readAllStandardOutput();
        return QString::fromLocal8Bit(out).split('\n', Qt::SkipEmptyParts).mid(1);
    }
    // Waits until the last log line is "<time> <entry>".
    bool waitForLog(const QString& entry)
    {
        for (QDeadlineTimer deadline(kWaitMs); !deadline.hasExpired(); process.waitForReadyRead(100)) {
            const QStringList lines = logLines();
            if (!lines.isEmpty() && lines.last().endsWith(' ' + entry))
                return true;
        }
        return false;
    }
};

}  // namespace

class TestSimProcess : public QObject {
    Q_OBJECT

private slots:
    void statusToggleAndLog();
    void lineIsRaw9600EightNOne();
    void repliesOnTheWire_data();
    void repliesOnTheWire();
    void upgradeModeEndsWhenThePortIsReopened();
    void unreadRepliesAreDroppedOnClose();
    void exitOnClose_data();
    void exitOnClose();
    void linkIsReplacedThenRemovedOnSignal_data();
    void linkIsReplacedThenRemovedOnSignal();
    void badCommandLine_data();
    void badCommandLine();
};

void TestSimProcess::statusToggleAndLog()
{
    SimRun sim;
    QVERIFY(sim.start({"--fast", "--log", "--word", "0"}));
    PtyClient port(sim.slavePath);
    QVERIFY(port.send("s00t"));
    QCOMPARE(port.receiveHex(4), QByteArray("00000074"));
    QVERIFY(port.send("s03p") && port.send("s00t"));
    QCOMPARE(port.receiveHex(4), QByteArray("00080074"));
    QVERIFY(port.send("b"));
    QVERIFY(sim.waitForLog("b"));

    const QStringList lines = sim.logLines();
    const QRegularExpression format(R"(^\d+\.\d{6} \S+$)");
    QStringList commands;
    for (const QString& line : lines) {
        QVERIFY2(format.match(line).hasMatch(), qPrintable(line));
        commands << line.section(' ', 1);
    }
    QCOMPARE(commands, (QStringList{"s00t", "s03p", "s00t", "b"}));
}

void TestSimProcess::lineIsRaw9600EightNOne()
{
    SimRun sim;
    QVERIFY(sim.start({}));
    PtyClient port(sim.slavePath, /*configure=*/false);
    termios tio{};
    QCOMPARE(::tcgetattr(port.fd(), &tio), 0);
    QCOMPARE(::cfgetispeed(&tio), speed_t(B9600));
    QCOMPARE(::cfgetospeed(&tio), speed_t(B9600));
    QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(tio.c_iflag & (ICRNL | IXON), tcflag_t(0));
}

// Each row ends in a reply whose bytes would shift if anything extra or
// missing came before it.
void TestSimProcess::repliesOnTheWire_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("wireHex");

    QTest::newRow("paced") << QStringList{"--word", "0x5A3"} << QByteArray("s00t") << QByteArray("00a30574");
    QTest::newRow("stray") << QStringList{"--fast", "--stray", "41,42"} << QByteArray("su0p")
                           << QByteArray("4142"
                                         "73757064");
    QTest::newRow("answer first 2") << QStringList{"--fast", "--answer-first", "2"} << QByteArray("s00ts00ts00tsu0p")
                                    << QByteArray("00000074"
                                                  "00000074"
                                                  "73757064");
    QTest::newRow("stuck") << QStringList{"--fast", "--stuck", "--word", "5"} << QByteArray("s00ps0aps00t")
                           << QByteArray("00050074");
    QTest::newRow("silent") << QStringList{"--fast", "--silent", "--stray", "41"} << QByteArray("s00tsu0p")
                            << QByteArray();
    QTest::newRow("split delay") << QStringList{"--split-delay", "20", "--stray", "7f"} << QByteArray("s00ts00t")
                                 << QByteArray("7f00000074"
                                               "7f00000074");
}

void TestSimProcess::repliesOnTheWire()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, wireHex);

    SimRun sim;
    QVERIFY(sim.start(args << "--log"));
    PtyClient port(sim.slavePath);
    QVERIFY(port.send(input + "b"));  // the logged reset marks the end of the input
    QVERIFY(sim.waitForLog("b"));
    QCOMPARE(port.receiveHex(wireHex.size() / 2), wireHex);
    // With --fast every reply was written before the reset was logged.
    if (args.contains("--fast"))
        QCOMPARE(port.pendingHex(), QByteArray());
}

void TestSimProcess::upgradeModeEndsWhenThePortIsReopened()
{
    SimRun sim;
    QVERIFY(sim.start({"--fast", "--log", "--word", "0x20"}));
    PtyClient port(sim.slavePath);
    QVERIFY(port.send("su0p"));
    QCOMPARE(port.receiveHex(4), QByteArray("73757064"));
    QVERIFY(port.send("s01p"));
    QVERIFY(sim.waitForLog("s01p ignored"));

    port.close();
    PtyClient reopened(sim.slavePath);
    QVERIFY(reopened.send("s00ts01ps00t"));
    QCOMPARE(reopened.receiveHex(8), QByteArray("00200074"
                                                "00220074"));
}

void TestSimProcess::unreadRepliesAreDroppedOnClose()
{
    SimRun sim;
    QVERIFY(sim.start({"--fast", "--log"}));
    PtyClient port(sim.slavePath);
    QVERIFY(port.send("s00ts00t"));
    QCOMPARE(port.receiveHex(1), QByteArray("00"));  // seven bytes stay unread
    port.close();
    PtyClient reopened(sim.slavePath);
    QVERIFY(reopened.send("s03p"));
    QVERIFY(sim.waitForLog("s03p"));  // the discard comes before this line
    QCOMPARE(reopened.pendingHex(), QByteArray());
}

void TestSimProcess::exitOnClose_data()
{
    QTest::addColumn<bool>("query");
    QTest::newRow("after a query") << true;
    QTest::newRow("without traffic") << false;
}

void TestSimProcess::exitOnClose()
{
    QFETCH(bool, query);

    SimRun sim;
    QVERIFY(sim.start({"--fast", "--exit-on-close"}));
    PtyClient port(sim.slavePath);
    if (query) {
        QVERIFY(port.send("s00t"));
        QCOMPARE(port.receiveHex(4), QByteArray("00000074"));
    }
    port.close();
    QVERIFY(sim.process.waitForFinished(kWaitMs));
    QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process.exitCode(), 0);
}

void TestSimProcess::linkIsReplacedThenRemovedOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestSimProcess::linkIsReplacedThenRemovedOnSignal()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    const QString link = dir.filePath("orvessa");
    QVERIFY(QFile::link("/nonexistent/pts/99", link));  // stale, from an earlier run

    SimRun sim;
    QVERIFY(sim.start({"--fast", "--link", link}));
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.slavePath);
    PtyClient port(link);
    QVERIFY(port.send("s00t"));
    QCOMPARE(port.receiveHex(4), QByteArray("00000074"));

    QCOMPARE(::kill(pid_t(sim.process.processId()), signal), 0);
    QVERIFY(sim.process.waitForFinished(kWaitMs));
    QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestSimProcess::badCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("stderrHas");

    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << QByteArray("unknown option '--bogus'");
    QTest::newRow("out of range") << QStringList{"--word", "4096"} << 2 << QByteArray("'4096' is out of range");
    QTest::newRow("link over a file") << QStringList{"--link", QCoreApplication::applicationFilePath()} << 1
                                      << QByteArray("exists and is not a symlink");
    QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray();
}

void TestSimProcess::badCommandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, stderrHas);

    QProcess sim;
    sim.start(kSim, args);
    QVERIFY(sim.waitForFinished(kWaitMs));
    QCOMPARE(sim.exitCode(), exitCode);
    const QByteArray out = sim.readAllStandardOutput();
    const QByteArray err = sim.readAllStandardError();
    if (exitCode == 0) {
        QVERIFY(err.isEmpty() && out.contains("--split-delay MS") && out.contains("--noise-seed N"));
    } else {
        QVERIFY(out.isEmpty());  // no slave path printed
        QVERIFY2(err.contains(stderrHas) && err.count('\n') == 1, err.constData());
    }
}

QTEST_GUILESS_MAIN(TestSimProcess)
#include "tst_sim_process.moc"
