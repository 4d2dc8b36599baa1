// The built orvessa against orvessa-sim on a pseudo-terminal: its exit
// status, what it prints, and the commands the simulator received.
#include "command_turn.h"
#include "orvessa_run.h"
#include "unprivileged_run.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSysInfo>

#include <cstddef>
#include <cstring>

#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString kMissing = QStringLiteral("/nonexistent/ttyTAVRIN");

// Outlet 3 is the router, outlet 5 a lab bench (spaces around the name are
// the panel's business); the panel saved COM2, which is the simulator.
const QByteArray kSettings = "[Com]\nPORT=2\n\n[Outlets]\n3=router\n5=\" lab bench \"\n12=\xe8\xb7\xaf\xe7\x94\xb1\n";

// orvessa set up as a lab script would find it: COM1 missing, COM2 the
// simulator and saved by the panel.
struct Bench {
    SimProcess sim;
    Orvessa orvessa;

    explicit Bench(const QStringList& simOptions) : sim(simOptions)
    {
        orvessa.writeSettings(kSettings);
        orvessa.setEnv("TAVRIN_COM1", kMissing);
        orvessa.setEnv("TAVRIN_COM2", sim.device());
        orvessa.setEnv("TAVRIN_COM3", kMissing);
        orvessa.setEnv("TAVRIN_COM4", kMissing);
    }

    // The simulator's log entries for everything sent so far.
    QStringList received()
    {
        qsizetype seen = 0;
        return receivedSince(sim, seen);
    }
};

QStringList fill(QStringList list, const QString& device)
{
    for (QString& item : list)
        item.replace("{device}", device);
    return list;
}

QJsonObject parseObject(const QByteArray& out)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(out, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject() || out.count('\n') != 1)
        return {};
    return document.object();
}

const char* const kAllOn = "outlet 1: on\noutlet 2: on\noutlet 3 (router): on\noutlet 4: on\n"
                           "outlet 5 (lab bench): on\noutlet 6: on\noutlet 7: on\noutlet 8: on\noutlet 9: on\n"
                           "outlet 10: on\noutlet 11: on\noutlet 12 (\xe8\xb7\xaf\xe7\x94\xb1): on\n";

// The process sleeps in poll(): it waits. The kernel names the call of a
// sleeping process only.
bool sleepsInPoll(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/syscall").arg(pid));
    const long call = file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0).toLong() : -1;
    return call == SYS_ppoll || call == SYS_poll;
}

// Whether process `pid` runs orvessa and has a handler for `signal` (the
// SigCgt mask of /proc): from then on the signal ends its wait instead of the
// process. Between fork and exec the child still has this test's handlers.
bool catchesSignal(qint64 pid, int signal)
{
    if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath() !=
        QFileInfo(QStringLiteral(ORVESSA_PATH)).canonicalFilePath())
        return false;
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1u;
    return false;
}

// Another local user's socket bound to the name of a device's turn, which
// never accepts a connection: it holds the turn but not the device.
class TurnSquatter {
public:
    TurnSquatter(const QString& device, bool listens) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const QByteArray name = CommandTurn::nameFor(device);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.constData(), std::size_t(name.size()));
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + std::size_t(name.size()));
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                 (!listens || ::listen(fd_, SOMAXCONN) == 0);
    }
    ~TurnSquatter()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TurnSquatter(const TurnSquatter&) = delete;
    TurnSquatter& operator=(const TurnSquatter&) = delete;
    bool bound() const { return bound_; }

private:
    int fd_;
    bool bound_ = false;
};

}  // namespace

class TestCliProcess : public QObject {
    Q_OBJECT
private slots:
    void verbs_data();
    void verbs();
    void failures_data();
    void failures();
    void jsonOutput();
    void heldPortIsBusy_data();
    void heldPortIsBusy();
    void notPermittedTellsTheFix();
    void portsListing();
    void portsAndOpeningAgree_data();
    void portsAndOpeningAgree();
    void unreadableSavedPort();
    void upgradeReleasesThePortForTheTool();
    void firmwareToolEnds_data();
    void firmwareToolEnds();
    void execRunsNoShell();
    void deviceGoneWhileWaiting();
    void cycleInterrupted_data();
    void cycleInterrupted();
    void twoScriptsTakeTurns();
    void waitersGoInTheOrderTheyCame();
    void heldPortWaits_data();
    void heldPortWaits();
    void squatterOfTheTurnDelaysNobody_data();
    void squatterOfTheTurnDelaysNobody();
};

void TestCliProcess::verbs_data()
{
    QTest::addColumn<QStringList>("simOptions");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QStringList>("received");

    QTest::newRow("status") << QStringList{"--word", "0x905"} << QStringList{"status"}
                            << QByteArray("outlet 1: on\noutlet 2: off\noutlet 3 (router): on\noutlet 4: off\n"
                                          "outlet 5 (lab bench): off\noutlet 6: off\noutlet 7: off\noutlet 8: off\n"
                                          "outlet 9: on\noutlet 10: off\noutlet 11: off\n"
                                          "outlet 12 (\xe8\xb7\xaf\xe7\x94\xb1): on\n")
                            << QStringList{"s00t"};
    QTest::newRow("status of some, by name")
        << QStringList{"--word", "0x905"} << QStringList{"status", "lab bench", "1", "router", "3"}
        << QByteArray("outlet 5 (lab bench): off\noutlet 1: on\n"
                      "outlet 3 (router): on\n")
        << QStringList{"s00t"};
    QTest::newRow("status after noise") << QStringList{"--word", "0x305", "--stray", "74,00,74"}
                                        << QStringList{"status", "1", "2"}
                                        << QByteArray("outlet 1: on\noutlet 2: off\n") << QStringList{"s00t"};
    QTest::newRow("on: only the outlets that are off")
        << QStringList{"--word", "0x004"} << QStringList{"on", "3", "5", "router"}
        << QByteArray("outlet 3 (router): on\noutlet 5 (lab bench): on\n") << QStringList{"s00t", "s04p", "s00t"};
    QTest::newRow("on again: the query only")
        << QStringList{"--word", "0x014"} << QStringList{"on", "3", "5"}
        << QByteArray("outlet 3 (router): on\noutlet 5 (lab bench): on\n") << QStringList{"s00t"};
    QTest::newRow("on, outlets 10 to 12")
        << QStringList{} << QStringList{"on", "10", "11", "12"}
        << QByteArray("outlet 10: on\noutlet 11: on\noutlet 12 (\xe8\xb7\xaf\xe7\x94\xb1): on\n")
        << QStringList{"s00t", "s09p", "s0:p", "s0;p", "s00t"};
    QTest::newRow("off") << QStringList{"--word", "0x014"} << QStringList{"off", "5", "7"}
                         << QByteArray("outlet 5 (lab bench): off\noutlet 7: off\n")
                         << QStringList{"s00t", "s04p", "s00t"};
    QTest::newRow("off again: the query only")
        << QStringList{} << QStringList{"off", "1"} << QByteArray("outlet 1: off\n") << QStringList{"s00t"};
    QTest::newRow("toggle") << QStringList{"--word", "0x800"} << QStringList{"toggle", "12", "11"}
                            << QByteArray("outlet 12 (\xe8\xb7\xaf\xe7\x94\xb1): off\noutlet 11: on\n")
                            << QStringList{"s00t", "s0;p", "s0:p", "s00t"};
    QTest::newRow("cycle an outlet that is on")
        << QStringList{"--word", "0x004"} << QStringList{"cycle", "3", "--off-time", "0"}
        << QByteArray("outlet 3 (router): on\n") << QStringList{"s00t", "s02p", "s00t", "s00t", "s02p", "s00t"};
    QTest::newRow("cycle an outlet that is off")
        << QStringList{} << QStringList{"cycle", "router", "--off-time", "0.1"} << QByteArray("outlet 3 (router): on\n")
        << QStringList{"s00t", "s00t", "s02p", "s00t"};
    QTest::newRow("all-on") << QStringList{"--word", "0x001"} << QStringList{"all-on"} << QByteArray(kAllOn)
                            << QStringList{"s0ap", "s00t"};
    QTest::newRow("all-off") << QStringList{"--word", "0xfff"} << QStringList{"all-off", "--port", "COM2"}
                             << QByteArray("outlet 1: off\noutlet 2: off\noutlet 3 (router): off\noutlet 4: off\n"
                                           "outlet 5 (lab bench): off\noutlet 6: off\noutlet 7: off\noutlet 8: off\n"
                                           "outlet 9: off\noutlet 10: off\noutlet 11: off\n"
                                           "outlet 12 (\xe8\xb7\xaf\xe7\x94\xb1): off\n")
                             << QStringList{"s0bp", "s00t"};
    QTest::newRow("reset") << QStringList{"--word", "0x005"} << QStringList{"reset"}
                           << QByteArray("COM2 ({device}): the board was reset and answers again\n")
                           << QStringList{"b", "s00t"};
    QTest::newRow("upgrade") << QStringList{} << QStringList{"upgrade"}
                             << QByteArray("COM2 ({device}): the board is ready for a firmware download; "
                                           "the port is released\n")
                             << QStringList{"su0p"};
    QTest::newRow("by device path") << QStringList{"--word", "0x002"}
                                    << QStringList{"--port", "{device}", "status", "2"} << QByteArray("outlet 2: on\n")
                                    << QStringList{"s00t"};
    QTest::newRow("slow line, short timeout")
        << QStringList{"--word", "0x002", "--split-delay", "5"} << QStringList{"--timeout", "200", "status", "2"}
        << QByteArray("outlet 2: on\n") << QStringList{"s00t"};
}

void TestCliProcess::verbs()
{
    QFETCH(QStringList, simOptions);
    QFETCH(QStringList, args);
    QFETCH(QByteArray, out);
    QFETCH(QStringList, received);

    Bench bench(simOptions);
    QVERIFY(!bench.sim.device().isEmpty());
    const OrvessaResult result = bench.orvessa.run(fill(args, bench.sim.device()));
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, out.replace("{device}", bench.sim.device().toUtf8()));
    QCOMPARE(bench.received(), received);
}

void TestCliProcess::failures_data()
{
    QTest::addColumn<QStringList>("simOptions");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");  // standard error: "orvessa: " + this
    QTest::addColumn<QStringList>("received");

    const QStringList silentTries{"s00t", "s00t", "s00t"};
    QTest::newRow("silent board")
        << QStringList{"--silent"} << QStringList{"--timeout", "30", "status"} << 1
        << "COM2 ({device}): the board did not answer the status query (3 tries, 30 ms each){silence}" << silentTries;
    QTest::newRow("silent board: no channel command")
        << QStringList{"--silent"} << QStringList{"--timeout", "30", "on", "3"} << 1
        << "COM2 ({device}): the board did not answer the status query (3 tries, 30 ms each){silence}" << silentTries;
    QTest::newRow("silent after the channel command")
        << QStringList{"--answer-first", "1"} << QStringList{"--timeout", "30", "on", "2"} << 1
        << "COM2 ({device}): the board did not answer the status query (3 tries, 30 ms each){silence}"
        << QStringList{"s00t", "s01p", "s00t", "s00t", "s00t"};
    QTest::newRow("silent upgrade") << QStringList{"--silent"} << QStringList{"--timeout", "30", "upgrade"} << 1
                                    << "COM2 ({device}): the board did not answer the upgrade command (3 tries, "
                                       "30 ms each){silence}"
                                    << QStringList{"su0p", "su0p ignored", "su0p ignored"};
    // A query each second until 3 s have passed.
    QTest::newRow("silent after a reset")
        << QStringList{"--silent"} << QStringList{"--timeout", "1000", "reset"} << 1
        << "COM2 ({device}): the board was reset but has not answered a status query in 3 s: check that it has "
           "power and that its serial cable is connected"
        << QStringList{"b", "s00t", "s00t", "s00t"};
    QTest::newRow("stuck: on") << QStringList{"--stuck", "--word", "0x008"} << QStringList{"on", "3", "4", "5"} << 1
                               << "COM2 ({device}): the board did not switch: outlet 3 (router) is off, not on; "
                                  "outlet 5 (lab bench) is off, not on"
                               << QStringList{"s00t", "s02p ignored", "s04p ignored", "s00t"};
    QTest::newRow("stuck: toggle") << QStringList{"--stuck", "--word", "0x004"} << QStringList{"toggle", "3"} << 1
                                   << "COM2 ({device}): the board did not switch: outlet 3 (router) is on, not off"
                                   << QStringList{"s00t", "s02p ignored", "s00t"};
    QTest::newRow("stuck: cycle stops when off fails")
        << QStringList{"--stuck", "--word", "0x004"} << QStringList{"cycle", "3", "--off-time", "0"} << 1
        << "COM2 ({device}): the board did not switch: outlet 3 (router) is on, not off"
        << QStringList{"s00t", "s02p ignored", "s00t"};
    QTest::newRow("stuck: all-off") << QStringList{"--stuck", "--word", "0x801"} << QStringList{"all-off"} << 1
                                    << "COM2 ({device}): the board did not switch: outlet 1 is on, not off; "
                                       "outlet 12 (\xe8\xb7\xaf\xe7\x94\xb1) is on, not off"
                                    << QStringList{"s0bp ignored", "s00t"};
    QTest::newRow("outlet 13") << QStringList{} << QStringList{"on", "3", "13"} << 2
                               << "there is no outlet 13: the outlets are 1 to 12 (see orvessa --help)"
                               << QStringList{};
    QTest::newRow("unknown name") << QStringList{} << QStringList{"off", "printer"} << 2
                                  << "'printer' is neither an outlet number (1 to 12) nor an outlet name (names: "
                                     "'router', 'lab bench', '\xe8\xb7\xaf\xe7\x94\xb1') (see orvessa --help)"
                                  << QStringList{};
    QTest::newRow("unknown option") << QStringList{} << QStringList{"on", "3", "--force"} << 2
                                    << "Unknown option 'force'. (see orvessa --help)" << QStringList{};
    QTest::newRow("unknown verb") << QStringList{} << QStringList{"switch", "3"} << 2
                                  << "unknown verb 'switch' (see orvessa --help)" << QStringList{};
    QTest::newRow("on without outlets") << QStringList{} << QStringList{"on"} << 2
                                        << "on needs at least one outlet (see orvessa --help)" << QStringList{};
    QTest::newRow("timeout 0") << QStringList{} << QStringList{"--timeout", "0", "status"} << 2
                               << "--timeout expects milliseconds from 1 to 60000, got '0' (see orvessa --help)"
                               << QStringList{};
    QTest::newRow("bad port name") << QStringList{} << QStringList{"--port", "ttyS0", "reset"} << 2
                                   << "--port expects COM<n> or a device path, got 'ttyS0' (see orvessa --help)"
                                   << QStringList{};
    QTest::newRow("missing device") << QStringList{} << QStringList{"--port", "COM1", "on", "3"} << 3
                                    << "COM1 (/nonexistent/ttyTAVRIN) cannot be opened: the device does not exist. "
                                       "{present} To map COM1 to a device, set the "
                                       "environment variable TAVRIN_COM1=<device>, or COM1=<device> in the [Ports] "
                                       "group of {settings}. TAVRIN_COM1 is set now, and comes before the settings "
                                       "file."
                                    << QStringList{};
    QTest::newRow("not a serial device") << QStringList{} << QStringList{"--port", "{file}", "status"} << 3
                                         << "{file} cannot be opened: it is not a serial device" << QStringList{};
}

void TestCliProcess::failures()
{
    QFETCH(QStringList, simOptions);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QStringList, received);

    Bench bench(simOptions);
    QVERIFY(!bench.sim.device().isEmpty());
    QTemporaryFile file;  // a plain file
    QVERIFY(file.open());
    args.replaceInStrings("{file}", file.fileName());
    message.replace("{file}", file.fileName())
        .replace("{device}", bench.sim.device())
        .replace("{silence}", ". Check that the board is powered and its cable plugged in, that COM2 is the board's "
                              "port (orvessa ports lists them), or give a longer --timeout")
        .replace("{settings}", bench.orvessa.settingsFile());
    const OrvessaResult result = bench.orvessa.run(args);
    QCOMPARE(result.exitCode, exitCode);
    // The devices present are the host's own: the text around them is checked.
    const QStringList around = ("orvessa: " + message + "\n").split("{present}");
    const QString err = QString::fromUtf8(result.err);
    QVERIFY2(err.startsWith(around.first()) && err.endsWith(around.last()), result.err.constData());
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(bench.received(), received);
}

void TestCliProcess::jsonOutput()
{
    Bench bench({"--word", "0x805"});
    const OrvessaResult status = bench.orvessa.run({"--json", "status", "3", "1", "12", "2"});
    QCOMPARE(status.exitCode, 0);
    const QJsonObject object = parseObject(status.out);
    QCOMPARE(object.value("port").toString(), QString("COM2"));
    QCOMPARE(object.value("device").toString(), bench.sim.device());
    QCOMPARE(object.value("word").toInt(), 0x805);
    const QJsonArray outlets = object.value("outlets").toArray();
    QCOMPARE(outlets.size(), 4);
    const QJsonObject third = outlets.at(0).toObject();
    QCOMPARE(third.value("number").toInt(), 3);
    QCOMPARE(third.value("name").toString(), QString("router"));
    QCOMPARE(third.value("on").toBool(), true);
    QVERIFY(outlets.at(1).toObject().value("name").isNull());
    QCOMPARE(outlets.at(2).toObject().value("name").toString(), QString::fromUtf8("\xe8\xb7\xaf\xe7\x94\xb1"));
    QCOMPARE(outlets.at(2).toObject().value("on").toBool(), true);
    QCOMPARE(outlets.at(3).toObject().value("number").toInt(), 2);
    QCOMPARE(outlets.at(3).toObject().value("on").toBool(), false);

    const OrvessaResult reset = bench.orvessa.run({"--json", "reset"});
    QCOMPARE(reset.exitCode, 0);
    const QJsonObject answered = parseObject(reset.out);
    QCOMPARE(answered.value("answers_after_reset").toBool(), true);
    QCOMPARE(answered.value("word").toInt(), 0x805);
    QCOMPARE(answered.value("outlets").toArray().size(), 12);

    // Failures: a JSON object on standard output, the message on standard error.
    struct Case {
        QStringList args;
        int status;
        QString errorStart;
    };
    const QList<Case> cases = {
        {{"--json", "on", "13"}, 2, "there is no outlet 13"},
        {{"--json", "--port", "COM3", "status"},
         3,
         "COM3 (/nonexistent/ttyTAVRIN) cannot be opened: the device does not exist"},
        {{"--json", "--bogus"}, 2, "Unknown option 'bogus'."},
    };
    for (const Case& c : cases) {
        const OrvessaResult failed = bench.orvessa.run(c.args);
        QCOMPARE(failed.exitCode, c.status);
        const QJsonObject error = parseObject(failed.out);
        QVERIFY2(error.value("error").toString().startsWith(c.errorStart), failed.out.constData());
        QCOMPARE(error.value("status").toInt(), c.status);
        QCOMPARE(QString::fromUtf8(failed.err), "orvessa: " + error.value("error").toString() + "\n");
    }
    QCOMPARE(bench.received(), (QStringList{"s00t", "b", "s00t"}));
}

void TestCliProcess::heldPortIsBusy_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("asked by its device path") << false;
    QTest::newRow("asked through a symlink to it") << true;
}

void TestCliProcess::heldPortIsBusy()
{
    QFETCH(bool, throughLink);
    QTemporaryDir dir;
    const QString link = dir.filePath("orvessa-board");
    Bench bench({"--link", link});
    QVERIFY(QFileInfo(link).isSymLink());
    const QString device = bench.sim.device();

    // This test holds the port as the panel does: a QSerialPort, open.
    QSerialPort panel(device);
    QVERIFY(panel.open(QIODevice::ReadWrite));
    const QString holder =
        QString("the device is in use by tst_cli_process (process %1); stop that program, and try again")
            .arg(QCoreApplication::applicationPid());

    const QString port = throughLink ? link : device;
    const OrvessaResult result = bench.orvessa.run({"--port", port, "on", "3"});
    QCOMPARE(result.exitCode, 3);
    const QString named = throughLink ? link + " (→ " + device + ")" : device;
    QCOMPARE(QString::fromUtf8(result.err), "orvessa: " + named + " cannot be opened: " + holder + "\n");
    QCOMPARE(result.out, QByteArray());

    const OrvessaResult json = bench.orvessa.run({"--json", "status"});
    QCOMPARE(json.exitCode, 3);
    const QJsonObject error = parseObject(json.out);
    QCOMPARE(error.value("status").toInt(), 3);
    QCOMPARE(error.value("error").toString(), "COM2 (" + device + ") cannot be opened: " + holder);
    QCOMPARE(error.value("reason").toString(), QString("busy"));
    QCOMPARE(error.value("holder").toObject().value("pid").toInteger(), QCoreApplication::applicationPid());
    QCOMPARE(error.value("port").toString(), QString("COM2"));
    QCOMPARE(error.value("device").toString(), device);

    panel.close();
    QCOMPARE(bench.received(), QStringList{});
}

void TestCliProcess::notPermittedTellsTheFix()
{
    if (::geteuid() != 0)
        QSKIP("needs root to hand the device to another user");
    const group* dialout = ::getgrnam("dialout");
    if (!dialout)
        QSKIP("no group dialout on this machine");
    Bench bench({});
    const QByteArray device = bench.sim.device().toLocal8Bit();
    QCOMPARE(::chown(device.constData(), 0, dialout->gr_gid), 0);
    QCOMPARE(::chmod(device.constData(), 0660), 0);

    // The build may lie where the other user cannot enter (a home folder such
    // as /root): run a copy that everyone may run.
    QTemporaryDir copyFolder;
    const QString copy = UnprivilegedRun::copyEveryoneMayRun(QStringLiteral(ORVESSA_PATH), copyFolder);
    QVERIFY2(!copy.isEmpty(), "no copy of orvessa that everyone may run");
    bench.orvessa.setProgram(copy);
    // The other user cannot read this test's settings folder: name the port.
    const OrvessaResult result = bench.orvessa.run({"--port", "COM2", "status"}, [] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
    });
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(QString::fromUtf8(result.err),
             "orvessa: COM2 (" + bench.sim.device() +
                 ") cannot be opened: permission denied. Add the user nobody to the dialout group (sudo adduser "
                 "nobody dialout), then log in again\n");
    QCOMPARE(bench.received(), QStringList{});
}

void TestCliProcess::portsListing()
{
    Bench bench({});
    bench.orvessa.setEnv("TAVRIN_COM7", bench.sim.device());
    bench.orvessa.setEnv("TAVRIN_COM5", "");  // set but empty: not mapped

    const OrvessaResult free = bench.orvessa.run({"ports"});
    QCOMPARE(free.exitCode, 0);
    const QString device = bench.sim.device();
    QStringList lines;
    for (const QString& line : QString::fromUtf8(free.out).split('\n', Qt::SkipEmptyParts))
        lines << line.simplified();
    QCOMPARE(lines, (QStringList{
                        "COM1 " + kMissing + " missing",
                        "COM2 " + device + " present free",
                        "COM3 " + kMissing + " missing",
                        "COM4 " + kMissing + " missing",
                        "COM7 " + device + " present free",
                    }));

    QSerialPort panel(device);
    QVERIFY(panel.open(QIODevice::ReadWrite));
    const OrvessaResult held = bench.orvessa.run({"--json", "ports"});
    QCOMPARE(held.exitCode, 0);
    const QJsonArray ports = parseObject(held.out).value("ports").toArray();
    QStringList summary;
    for (const QJsonValue& value : ports) {
        const QJsonObject port = value.toObject();
        const QJsonObject holder = port.value("holder").toObject();
        summary << QString("%1 %2 present=%3 in_use=%4 holder=%5/%6")
                       .arg(port.value("port").toString(), port.value("device").toString())
                       .arg(port.value("present").toBool())
                       .arg(port.value("in_use").toBool())
                       .arg(holder.value("program").toString())
                       .arg(holder.value("pid").toInteger());
    }
    const QString pid = QString::number(QCoreApplication::applicationPid());
    QCOMPARE(summary, (QStringList{
                          "COM1 " + kMissing + " present=0 in_use=0 holder=/0",
                          "COM2 " + device + " present=1 in_use=1 holder=tst_cli_process/" + pid,
                          "COM3 " + kMissing + " present=0 in_use=0 holder=/0",
                          "COM4 " + kMissing + " present=0 in_use=0 holder=/0",
                          "COM7 " + device + " present=1 in_use=1 holder=tst_cli_process/" + pid,
                      }));
    panel.close();
    QCOMPARE(bench.received(), QStringList{});
}

// What `ports` says of a port, opening it agrees with: a mapping by a bare
// name or with a comma in it, and a lock file whose process number another
// program now has.
void TestCliProcess::portsAndOpeningAgree_data()
{
    QTest::addColumn<QString>("mapping");  // COM5's value in [Ports]; {pts}: the device without /dev/
    QTest::addColumn<bool>("staleLock");
    QTest::addColumn<QString>("state");  // what `ports` says after the path

    QTest::newRow("bare name") << "{pts}" << false << "present free";
    QTest::newRow("comma in the path") << "\"{dir}/board,7\"" << false << "present free";
    QTest::newRow("lock of a reused process number")
        << "{pts}" << true
        << "present free; a stale lock file {lock}: it names TavrinV1.3 (process {pid}), but that process is now "
           "tst_cli_process";
}

void TestCliProcess::portsAndOpeningAgree()
{
    QFETCH(QString, mapping);
    QFETCH(bool, staleLock);
    QFETCH(QString, state);
    QTemporaryDir dir;
    Bench bench({"--word", "0x004"});
    const QString device = bench.sim.device();
    QVERIFY(QFile::link(device, dir.filePath("board,7")));
    const QString pts = device.mid(5);
    const QString lock = "/var/lock/LCK.." + QString(pts).replace('/', '_');
    if (staleLock) {
        // The panel's lock, left by a process whose number this test has now.
        QFile file(lock);
        if (!file.open(QIODevice::WriteOnly))
            QSKIP("needs to write a lock file in /var/lock");
        file.write(QString("%1\nTavrinV1.3\n%2\n")
                       .arg(QCoreApplication::applicationPid())
                       .arg(QSysInfo::machineHostName())
                       .toUtf8());
    }
    mapping.replace("{pts}", pts).replace("{dir}", dir.path());
    QVERIFY(bench.orvessa.writeSettings(kSettings + "\n[Ports]\nCOM5=" + mapping.toUtf8() + "\n"));

    const OrvessaResult listed = bench.orvessa.run({"ports"});
    QCOMPARE(listed.exitCode, 0);
    const QStringList lines = QString::fromUtf8(listed.out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 5);
    state.replace("{lock}", lock).replace("{pid}", QString::number(QCoreApplication::applicationPid()));
    QCOMPARE(lines.last().simplified(), "COM5 " + mapping.remove('"') + " " + state);

    const OrvessaResult status = bench.orvessa.run({"--port", "COM5", "status", "3"});
    QCOMPARE(QString::fromUtf8(status.err), QString());
    QCOMPARE(status.out, QByteArray("outlet 3 (router): on\n"));
    QFile::remove(lock);
}

// A saved port the panel could not read either is named, with the file.
void TestCliProcess::unreadableSavedPort()
{
    Bench bench({});
    QVERIFY(bench.orvessa.writeSettings("[Com]\nPORT=COM2\n"));
    const OrvessaResult result = bench.orvessa.run({"status"});
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(QString::fromUtf8(result.err), "orvessa: the port saved in " + bench.orvessa.settingsFile() +
                                                " ([Com] PORT=COM2) is not a port number from 1 to 4: give --port, or "
                                                "correct the line (PORT=2 means COM2) (see orvessa --help)\n");
    QCOMPARE(bench.received(), QStringList{});
}

void TestCliProcess::upgradeReleasesThePortForTheTool()
{
    Bench bench({});
    // The "download tool" opens the device itself: it can only when orvessa
    // has released it.
    const QString tool = QString("'%1' --port {device} reset").arg(ORVESSA_PATH);
    const OrvessaResult result = bench.orvessa.run({"upgrade", "--exec", tool});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(result.err, QByteArray());
    const QString device = bench.sim.device();
    QCOMPARE(QString::fromUtf8(result.out),
             "COM2 (" + device + "): the board is ready for a firmware download; the port is released\n" + device +
                 ": the board was reset and answers again\n");
    QCOMPARE(bench.received(), (QStringList{"su0p", "b", "s00t"}));
}

void TestCliProcess::firmwareToolEnds_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("toolOut");  // what the tool prints
    QTest::addColumn<QString>("failure");     // how it failed, the start of; empty when it succeeded
    QTest::addColumn<QString>("tool");        // the "tool" object; its "error" is the start of orvessa's

    QTest::newRow("succeeds") << "printf '%s\\n' done" << QByteArray("done\n") << ""
                              << R"({"command": ["printf", "%s\\n", "done"], "exit_status": 0})";
    QTest::newRow("exit status 7") << "sh -c 'exit 7'" << QByteArray() << "'sh' exited with status 7"
                                   << R"({"command": ["sh", "-c", "exit 7"], "exit_status": 7})";
    QTest::newRow("killed") << "sh -c 'kill -TERM $$'" << QByteArray() << "'sh' was killed by signal 15 (SIGTERM)"
                            << R"({"command": ["sh", "-c", "kill -TERM $$"], "signal": 15})";
    QTest::newRow("cannot start") << "/nonexistent/flash {device}" << QByteArray()
                                  << "cannot start '/nonexistent/flash': "
                                  << R"({"command": ["/nonexistent/flash", "{device}"],
                                        "error": "cannot start '/nonexistent/flash': "})";
}

void TestCliProcess::firmwareToolEnds()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, toolOut);
    QFETCH(QString, failure);
    QFETCH(QString, tool);

    for (const bool json : {false, true}) {
        Bench bench({});  // a board of its own: the last one stays in upgrade mode
        const QString where = "COM2 (" + bench.sim.device() + "): ";
        const OrvessaResult result = bench.orvessa.run(json ? QStringList{"--json", "upgrade", "--exec", command}
                                                            : QStringList{"upgrade", "--exec", command});
        QCOMPARE(result.exitCode, failure.isEmpty() ? 0 : 4);
        const QString message =
            where + "the board is ready for a firmware download, but the firmware tool failed: " + failure;
        const QString err = QString::fromUtf8(result.err);
        if (!json) {
            QCOMPARE(result.out,
                     (where + "the board is ready for a firmware download; the port is released\n").toUtf8() + toolOut);
            QVERIFY2(failure.isEmpty() ? err.isEmpty() : err.startsWith("orvessa: " + message), qPrintable(err));
            continue;
        }
        // One object on standard output; the tool's output goes to standard error.
        const QJsonObject object = parseObject(result.out);
        QCOMPARE(object.value("upgrade_ready").toBool(), true);
        const QString error = object.value("error").toString();
        QCOMPARE(error.startsWith(message), !failure.isEmpty());
        QCOMPARE(err, QString::fromUtf8(toolOut) + (failure.isEmpty() ? "" : "orvessa: " + error + "\n"));
        const QJsonObject expected =
            QJsonDocument::fromJson(tool.replace("{device}", bench.sim.device()).toUtf8()).object();
        QJsonObject got = object.value("tool").toObject();
        if (got.contains("error"))  // Qt's reason follows the expected start
            got.insert("error", got.value("error").toString().left(expected.value("error").toString().size()));
        QCOMPARE(got, expected);
    }
}

void TestCliProcess::execRunsNoShell()
{
    Bench bench({});
    QTemporaryDir dir;
    const QString link = dir.filePath("dev 'a' \"b\" $(touch pwned) `touch pwned`;touch pwned");
    QVERIFY(QFile::link(bench.sim.device(), link));
    bench.orvessa.setWorkingDirectory(dir.path());
    const OrvessaResult result = bench.orvessa.run(
        {"--json", "--port", link, "upgrade", "--exec", R"x(printf '[%s]\n' {device} "$(touch pwned)" $HOME)x"});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    // The device opened (the link resolved) reaches the tool as one argument;
    // nothing is expanded or run.
    const QString device = parseObject(result.out).value("device").toString();
    QCOMPARE(device, bench.sim.device());
    QCOMPARE(QString::fromUtf8(result.err), "[" + device + "]\n[$(touch pwned)]\n[$HOME]\n");
    QVERIFY(!QFileInfo::exists(dir.filePath("pwned")));
}

void TestCliProcess::deviceGoneWhileWaiting()
{
    Bench bench({"--silent"});
    QProcess orvessa;
    orvessa.setProcessEnvironment(bench.orvessa.environment());
    orvessa.start(ORVESSA_PATH, {"--timeout", "20000", "status"});
    QVERIFY(bench.sim.waitForEntries(1));  // the query is out, orvessa waits
    bench.sim.stop();                      // the board's end of the line goes away
    // Far sooner than the three tries of 20 s: it stops at once.
    QVERIFY(orvessa.waitForFinished(15000));
    QCOMPARE(orvessa.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(orvessa.readAllStandardError()),
             "orvessa: COM2 (" + bench.sim.device() + "): no answer to the status query: the device is gone\n");
}

void TestCliProcess::cycleInterrupted_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("signalName");
    QTest::newRow("SIGTERM") << SIGTERM << "SIGTERM";
    QTest::newRow("SIGINT") << SIGINT << "SIGINT";
}

void TestCliProcess::cycleInterrupted()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, signalName);
    Bench bench({"--word", "0x004"});
    QProcess orvessa;
    orvessa.setProcessEnvironment(bench.orvessa.environment());
    // SIGINT as a terminal sends it, whatever disposition this test inherited.
    orvessa.setChildProcessModifier([] { ::signal(SIGINT, SIG_DFL); });
    orvessa.start(ORVESSA_PATH, {"cycle", "3", "--off-time", "30"});
    // The query after the channel command: outlet 3 is off, the off-time runs.
    QVERIFY(bench.sim.waitForEntries(3));
    QCOMPARE(bench.sim.entries(), (QStringList{"s00t", "s02p", "s00t"}));
    QCOMPARE(::kill(pid_t(orvessa.processId()), signalNumber), 0);
    QVERIFY(orvessa.waitForFinished(15000));
    QCOMPARE(orvessa.exitStatus(), QProcess::NormalExit);
    QCOMPARE(orvessa.exitCode(), 5);
    QCOMPARE(QString::fromUtf8(orvessa.readAllStandardError()),
             "orvessa: COM2 (" + bench.sim.device() + "): interrupted by " + signalName +
                 " during the off-time; outlet 3 (router) switched back on\n");
    QCOMPARE(bench.received(), (QStringList{"s00t", "s02p", "s00t", "s00t", "s02p", "s00t"}));
    QCOMPARE(bench.orvessa.run({"status", "3"}).out, QByteArray("outlet 3 (router): on\n"));
}

// Two scripts switch their own outlets on one board at the same time.
void TestCliProcess::twoScriptsTakeTurns()
{
    Bench bench({"--word", "0x002"});
    const QString script = R"(for i in $(seq 20); do "$0" --port "$1" toggle "$2" >/dev/null || exit $?; done)";
    QProcess scripts[2];
    const QString outlets[2] = {"2", "5"};
    for (int i = 0; i < 2; ++i) {
        scripts[i].setProcessEnvironment(bench.orvessa.environment());
        scripts[i].start("sh", {"-c", script, ORVESSA_PATH, bench.sim.device(), outlets[i]});
    }
    for (QProcess& finished : scripts) {
        QVERIFY(finished.waitForFinished(120000));
        QVERIFY2(finished.exitCode() == 0, finished.readAllStandardError().constData());
    }
    const QStringList received = bench.received();
    QCOMPARE(received.count("s01p"), 20);
    QCOMPARE(received.count("s04p"), 20);
    QCOMPARE(bench.orvessa.run({"status", "2", "5"}).out, QByteArray("outlet 2: on\noutlet 5 (lab bench): off\n"));
}

void TestCliProcess::waitersGoInTheOrderTheyCame()
{
    Bench bench({"--word", "0x004"});
    QProcess holder;  // an orvessa command in a cycle's off-time
    holder.setProcessEnvironment(bench.orvessa.environment());
    holder.start(ORVESSA_PATH, {"--port", bench.sim.device(), "cycle", "3", "--off-time", "60"});
    QVERIFY(bench.sim.waitForEntries(3));
    QProcess waiters[3];
    for (int i = 0; i < 3; ++i) {
        waiters[i].setProcessEnvironment(bench.orvessa.environment());
        waiters[i].start(ORVESSA_PATH, {"--port", bench.sim.device(), "toggle", QString::number(10 + i)});
        QTRY_VERIFY_WITH_TIMEOUT(sleepsInPoll(waiters[i].processId()), 10000);
    }
    holder.terminate();  // the cycle switches outlet 3 back on and hands the turn on
    for (QProcess& waiter : waiters) {
        QVERIFY(waiter.waitForFinished(30000));
        QVERIFY2(waiter.exitCode() == 0, waiter.readAllStandardError().constData());
    }
    QCOMPARE(bench.received(), (QStringList{"s00t", "s02p", "s00t", "s00t", "s02p", "s00t", "s00t", "s09p", "s00t",
                                            "s00t", "s0:p", "s00t", "s00t", "s0;p", "s00t"}));
}

// A port held by another orvessa command is waited for, one held by another
// program (the panel) only with --wait; a signal ends the wait.
void TestCliProcess::heldPortWaits_data()
{
    QTest::addColumn<bool>("byOrvessa");  // else by this test, as the panel holds it
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("signalNumber");  // sent once orvessa waits; 0 for none
    QTest::addColumn<QString>("message");   // standard error after the device, a pattern; {pid}: the holder's
    QTest::addColumn<bool>("squatter");     // the device's turn is held by a socket that never accepts

    const QString orvessa = " cannot be opened: the device is in use by orvessa \\(process {pid}\\); wait until its "
                            "command has ended, and try again";
    const QString panel = " cannot be opened: the device is in use by tst_cli_process \\(process {pid}\\); stop "
                          "that program, and try again";
    const QString waited = " \\(after waiting [0-9.]+ s\\)";
    const QString interrupted = ": interrupted by %1 while waiting for the port, after [0-9.]+ s; nothing was written";
    QTest::newRow("orvessa holds, --wait 0.3")
        << true << QStringList{"--wait", "0.3"} << 0 << orvessa + waited << false;
    QTest::newRow("orvessa holds, --wait 0") << true << QStringList{"--wait", "0"} << 0 << orvessa << false;
    QTest::newRow("the panel holds") << false << QStringList{} << 0 << panel << false;
    QTest::newRow("the panel holds, --wait 0.3")
        << false << QStringList{"--wait", "0.3"} << 0 << panel + waited << false;
    QTest::newRow("SIGTERM waiting for orvessa")
        << true << QStringList{"--wait", "30"} << SIGTERM << interrupted.arg("SIGTERM") << false;
    QTest::newRow("SIGINT waiting for the panel")
        << false << QStringList{"--wait", "30"} << SIGINT << interrupted.arg("SIGINT") << false;
    // The turn's holder does not hold the device, but another program does:
    // the whole wait for orvessa commands (10 s, or a little more on a slow machine),
    // then that program is named.
    QTest::newRow("the panel holds, the turn squatted")
        << false << QStringList{} << 0 << panel + " \\(after waiting 1[0-9](\\.[0-9]+)? s\\)" << true;
}

void TestCliProcess::heldPortWaits()
{
    QFETCH(bool, byOrvessa);
    QFETCH(QStringList, args);
    QFETCH(int, signalNumber);
    QFETCH(QString, message);
    QFETCH(bool, squatter);
    Bench bench({"--word", "0x004"});
    const QString device = bench.sim.device();
    std::optional<TurnSquatter> squatted;
    if (squatter)
        QVERIFY(squatted.emplace(device, true).bound());
    QSerialPort panel(device);
    QProcess holder;  // an orvessa command in a cycle's off-time
    holder.setProcessEnvironment(bench.orvessa.environment());
    qint64 pid = QCoreApplication::applicationPid();
    if (byOrvessa) {
        holder.start(ORVESSA_PATH, {"--port", device, "cycle", "3", "--off-time", "60"});
        QVERIFY(bench.sim.waitForEntries(3));
        pid = holder.processId();
    } else {
        QVERIFY(panel.open(QIODevice::ReadWrite));
    }

    QProcess waiter;
    waiter.setProcessEnvironment(bench.orvessa.environment());
    waiter.setChildProcessModifier([] { ::signal(SIGINT, SIG_DFL); });
    waiter.start(ORVESSA_PATH, QStringList{"--port", device} + args + QStringList{"status"});
    if (signalNumber != 0) {
        // A slow build (sanitizers) spends most of its retries opening, so
        // sampling for a sleep in poll() can miss: the signal being caught is
        // what tells that it waits.
        QTRY_VERIFY_WITH_TIMEOUT(catchesSignal(waiter.processId(), signalNumber), 10000);
        QCOMPARE(::kill(pid_t(waiter.processId()), signalNumber), 0);
    }
    QVERIFY(waiter.waitForFinished(30000));
    QCOMPARE(waiter.exitStatus(), QProcess::NormalExit);
    QCOMPARE(waiter.exitCode(), 3);
    const QString err = QString::fromUtf8(waiter.readAllStandardError());
    const QString pattern = "^orvessa: " + device + message.replace("{pid}", QString::number(pid)) + "\n$";
    QVERIFY2(QRegularExpression(pattern).match(err).hasMatch(), qPrintable(err));

    holder.terminate();  // the cycle switches outlet 3 back on
    QVERIFY(!byOrvessa || holder.waitForFinished(15000));
    panel.close();
    // Nothing but the holder's cycle reached the board.
    QCOMPARE(bench.received(),
             byOrvessa ? QStringList({"s00t", "s02p", "s00t", "s00t", "s02p", "s00t"}) : QStringList());
}

// Any local user may bind the name of a device's turn and never hand it on.
// Holding the turn without the device delays nobody: once the device has been
// seen free for a moment, orvessa goes on as where turns are unavailable.
void TestCliProcess::squatterOfTheTurnDelaysNobody_data()
{
    QTest::addColumn<bool>("listens");  // else bound only: connecting is refused
    QTest::addColumn<QStringList>("args");

    QTest::newRow("listening, the default wait") << true << QStringList{};
    QTest::newRow("listening, --wait 30") << true << QStringList{"--wait", "30"};
    QTest::newRow("bound, not listening") << false << QStringList{};
}

void TestCliProcess::squatterOfTheTurnDelaysNobody()
{
    QFETCH(bool, listens);
    QFETCH(QStringList, args);
    Bench bench({"--word", "0x004"});
    const QString device = bench.sim.device();
    const TurnSquatter squatter(device, listens);
    QVERIFY(squatter.bound());

    QProcess orvessa;
    orvessa.setProcessEnvironment(bench.orvessa.environment());
    orvessa.start(ORVESSA_PATH, QStringList{"--port", device} + args + QStringList{"status", "3"});
    // Answered within 3 s, not after the whole wait (10 s, or 30 s).
    const bool answered = orvessa.waitForFinished(3000);
    if (!answered) {
        orvessa.kill();
        orvessa.waitForFinished();
    }
    QVERIFY2(answered, "orvessa waited for a turn that nobody hands on");
    QCOMPARE(orvessa.exitCode(), 0);
    QCOMPARE(orvessa.readAllStandardOutput(), QByteArray("outlet 3 (router): on\n"));
    QCOMPARE(bench.received(), QStringList{"s00t"});
}

QTEST_GUILESS_MAIN(TestCliProcess)
#include "tst_cli_process.moc"
