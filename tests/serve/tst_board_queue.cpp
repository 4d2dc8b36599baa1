// orvessa serve's board queue over the simulator's model of the board: what
// requests pending together write and answer, when a status reads, a cycle's
// off-time, a silent or unplugged board, and stopping.
#include "board_queue.h"
#include "commands.h"
#include "model_board.h"

#include <QtTest>

using namespace Driver;

class TestBoardQueue : public QObject {
    Q_OBJECT
private slots:
    void together_data();
    void together();
    void joining_data();
    void joining();
    void freshness_data();
    void freshness();
    void offTime_data();
    void offTime();
    void allCommandDropped();
    void overlappingCycles_data();
    void overlappingCycles();
    void faults_data();
    void faults();
    void stop_data();
    void stop();
};

namespace {

// "ok 004", or the failure, the state read and the message.
QString describe(const Result& result)
{
    static const QStringList failures{"ok", "NoAnswer", "NotInState", "Stopped", "BadRequest"};
    QString text = failures.at(int(result.failure));
    if (result.word)
        text += QString(" %1").arg(*result.word, 3, 16, QChar('0'));
    return result.error.isEmpty() ? text : text + ": " + result.error;
}

// Or'ed into a board's word: the board is stuck, ignoring every switch.
constexpr int Stuck = 0x10000;

// A board at `word` with outlet 3 named "router", its queue on a clock the
// test sets, and the answers in the order they come.
struct Bench {
    explicit Bench(int word, int pollMs = 3600000)
    {
        board.model = orvessa::sim::ControllerModel(std::uint16_t(word & 0xfff), (word & Stuck) != 0);
        names[2] = "router";
        queue.emplace(board, names, BoardQueue::Timing{pollMs, 250, 10, 3000, [this] { return clockMs; }, false});
        QObject::connect(&*queue, &BoardQueue::linkEvent, [this](const QString& what) { events << what; });
    }
    // "status", "on 3 5", "off 3", "toggle 3", "cycle 3" (for offMs), "all on", "reset".
    void submit(const QString& request)
    {
        QList<int> outlets;
        for (const QString& word : request.split(' ').mid(1))
            outlets << word.toInt();
        const QString verb = request.section(' ', 0, 0);
        const Done done = [this](const Result& result) { answers << describe(result); };
        if (verb == "status")
            queue->status(done);
        else if (verb == "on" || verb == "off")
            queue->switchOutlets(outlets, verb == "on", done);
        else if (verb == "toggle")
            queue->toggle(outlets, done);
        else if (verb == "cycle")
            queue->cycle(outlets, offMs, done);
        else if (request == "all on")
            queue->switchAll(true, done);
        else
            queue->reset(done);
    }
    bool settle(qsizetype count)
    {
        return QTest::qWaitFor([&] { return answers.size() >= count; }, 10000);
    }
    // Outlet 3 cycled, in a long off-time once its off half is written.
    bool cycling()
    {
        offMs = 3600000;
        submit("cycle 3");
        return QTest::qWaitFor([&] { return written().size() == 3; }, 10000);
    }
    QByteArrayList& written() { return board.written; }

    ModelBoard board;
    Driver::OutletNames names;
    qint64 clockMs = 0;
    int offMs = 0;
    std::optional<BoardQueue> queue;
    QStringList answers;
    QStringList events;
};

}  // namespace

void TestBoardQueue::together_data()
{
    QTest::addColumn<int>("word");
    QTest::addColumn<QStringList>("requests");  // pending together, in arrival order
    QTest::addColumn<QByteArrayList>("written");
    QTest::addColumn<QStringList>("answers");

    QStringList twelve;
    for (int outlet = 1; outlet <= 12; ++outlet)
        twelve << QString("%1 %2").arg(outlet <= 6 ? "on" : "off").arg(outlet);
    QTest::newRow("twelve: one read, a command per outlet to switch, one read-back")
        << 0x081 << twelve << QByteArrayList{"s00t", "s01p", "s02p", "s03p", "s04p", "s05p", "s07p", "s00t"}
        << QStringList(12, "ok 03f");
    QTest::newRow("on, then off: the on is told a later request reversed it")
        << 0x000 << QStringList{"on 3", "off 3"} << QByteArrayList{"s00t"}
        << QStringList{"NotInState 000: reversed by a later request: outlet 3 (router) is off, not on", "ok 000"};
    QTest::newRow("toggled twice: they cancel, no command, the first told so")
        << 0x004 << QStringList{"toggle 3", "toggle 3"} << QByteArrayList{"s00t"}
        << QStringList{"NotInState 004: reversed by a later request: outlet 3 (router) is on, not off", "ok 004"};
    QTest::newRow("only the outlet reversed fails; a status after them answers the state they leave")
        << 0x000 << QStringList{"on 3 5", "off 5", "status"} << QByteArrayList{"s00t", "s02p", "s00t"}
        << QStringList{"NotInState 004: reversed by a later request: outlet 5 is off, not on", "ok 004", "ok 004"};
    QTest::newRow("a status before a switch answers the state before it, one after it the state after")
        << 0x000 << QStringList{"status", "on 3", "status"} << QByteArrayList{"s00t", "s02p", "s00t"}
        << QStringList{"ok 000", "ok 004", "ok 004"};
    QTest::newRow("a stuck board is blamed, a reversal is not")
        << (Stuck | 0x000) << QStringList{"on 3", "off 3", "on 5"} << QByteArrayList{"s00t", "s04p", "s00t"}
        << QStringList{"NotInState 000: reversed by a later request: outlet 3 (router) is off, not on", "ok 000",
                       "NotInState 000: the board did not switch: outlet 5 is off, not on"};
    QTest::newRow("a cycle undone by a later on")
        << 0x004 << QStringList{"cycle 3", "on 3"} << QByteArrayList{"s00t"}
        << QStringList{"NotInState 004: reversed by a later request: outlet 3 (router) is on, not off", "ok 004"};
    QTest::newRow("a cycle: off, then on after its off-time")
        << 0x004 << QStringList{"cycle 3"} << QByteArrayList{"s00t", "s02p", "s00t", "s00t", "s02p", "s00t"}
        << QStringList{"ok 004"};
    QStringList allTwelveOn;
    QStringList tenOff;
    for (int outlet = 1; outlet <= 12; ++outlet) {
        allTwelveOn << QString("on %1").arg(outlet);
        if (outlet <= 10)
            tenOff << QString("off %1").arg(outlet);
    }
    QTest::newRow("twelve to one state: the board's all-on alone")
        << 0x081 << allTwelveOn << QByteArrayList{"s00t", "s0ap", "s00t"} << QStringList(12, "ok fff");
    QTest::newRow("ten of twelve off: all-off, then the two that stay on")
        << 0xfff << tenOff << QByteArrayList{"s00t", "s0bp", "s0:p", "s0;p", "s00t"} << QStringList(10, "ok c00");
    QTest::newRow("all on: the board's own command")
        << 0x001 << QStringList{"all on"} << QByteArrayList{"s00t", "s0ap", "s00t"} << QStringList{"ok fff"};
    QTest::newRow("a reset after a toggle: on its own")
        << 0x000 << QStringList{"toggle 3 4", "reset"} << QByteArrayList{"s00t", "s02p", "s03p", "s00t", "b", "s00t"}
        << QStringList{"ok 00c", "ok 00c"};
    // Refused before anything reaches the wire: the answer comes before the first read.
    QTest::newRow("no such outlet") << 0x004 << QStringList{"on 13"} << QByteArrayList{}
                                    << QStringList{"BadRequest: there is no outlet 13: the outlets are 1 to 12"};
}

void TestBoardQueue::together()
{
    QFETCH(int, word);
    QFETCH(QStringList, requests);
    QFETCH(QByteArrayList, written);
    QFETCH(QStringList, answers);

    Bench bench(word);
    for (const QString& request : requests)
        bench.submit(request);
    QVERIFY(bench.settle(answers.size()));
    QCOMPARE(bench.written(), written);
    QCOMPARE(bench.answers, answers);
}

void TestBoardQueue::joining_data()
{
    QTest::addColumn<QStringList>("first");   // submitted together
    QTest::addColumn<QStringList>("during");  // submitted while the first batch's first read is on the wire
    QTest::addColumn<QByteArrayList>("written");
    QTest::addColumn<QStringList>("answers");

    QStringList elevenOn;
    for (int outlet = 2; outlet <= 12; ++outlet)
        elevenOn << QString("on %1").arg(outlet);
    QTest::newRow("eleven PUTs join the first: one batch, all on at once")
        << QStringList{"on 1"} << elevenOn << QByteArrayList{"s00t", "s0ap", "s00t"} << QStringList(12, "ok fff");
    QTest::newRow("a status joins statuses: one read")
        << QStringList{"status"} << QStringList{"status"} << QByteArrayList{"s00t"} << QStringList(2, "ok 000");
    QTest::newRow("a status after a switch sees it, from its read-back")
        << QStringList{"on 3"} << QStringList{"status"} << QByteArrayList{"s00t", "s02p", "s00t"}
        << QStringList(2, "ok 004");
    QTest::newRow("a reset waits for its own batch")
        << QStringList{"on 3"} << QStringList{"reset", "on 5"}
        << QByteArrayList{"s00t", "s02p", "s00t", "b", "s00t", "s00t", "s04p", "s00t"}
        << QStringList{"ok 004", "ok 004", "ok 014"};
}

void TestBoardQueue::joining()
{
    QFETCH(QStringList, first);
    QFETCH(QStringList, during);
    QFETCH(QByteArrayList, written);
    QFETCH(QStringList, answers);

    Bench bench(0x000);
    bench.board.onWrite = [&](const QByteArray&) {
        bench.board.onWrite = nullptr;
        for (const QString& request : during)
            bench.submit(request);
    };
    for (const QString& request : first)
        bench.submit(request);
    QVERIFY(bench.settle(answers.size()));
    QCOMPARE(bench.written(), written);
    QCOMPARE(bench.answers, answers);
}

void TestBoardQueue::freshness_data()
{
    QTest::addColumn<QStringList>("steps");  // "<clock ms>: <request>, <request>..."; each step answered in turn
    QTest::addColumn<int>("reads");

    QTest::newRow("pending together: one read") << QStringList{"0: status, status, status"} << 1;
    QTest::newRow("250 ms old: answered from it") << QStringList{"0: status", "250: status"} << 1;
    QTest::newRow("251 ms old: read again") << QStringList{"0: status", "251: status"} << 2;
    QTest::newRow("a read-back is a read") << QStringList{"0: on 3", "200: status"} << 2;
}

void TestBoardQueue::freshness()
{
    QFETCH(QStringList, steps);
    QFETCH(int, reads);

    Bench bench(0x000);
    for (const QString& step : steps) {
        bench.clockMs = step.section(':', 0, 0).toLongLong();
        const QStringList requests = step.section(": ", 1).split(", ");
        for (const QString& request : requests)
            bench.submit(request);
        QVERIFY(bench.settle(bench.answers.size() + requests.size()));
    }
    QCOMPARE(bench.written().count("s00t"), reads);
}

void TestBoardQueue::offTime_data()
{
    QTest::addColumn<QString>("during");  // a request during the cycle's off-time
    QTest::addColumn<QByteArrayList>("written");
    QTest::addColumn<QString>("answer");

    QTest::newRow("another outlet") << "on 5" << QByteArrayList{"s00t", "s04p", "s00t"} << "ok 010";
    QTest::newRow("the cycling outlet") << "toggle 3" << QByteArrayList{"s00t", "s02p", "s00t"} << "ok 004";
}

void TestBoardQueue::offTime()
{
    QFETCH(QString, during);
    QFETCH(QByteArrayList, written);
    QFETCH(QString, answer);

    Bench bench(0x004);
    QVERIFY(bench.cycling());
    bench.clockMs = 1000;
    bench.submit(during);
    QVERIFY(bench.settle(1));
    QCOMPARE(bench.answers, QStringList{answer});
    QCOMPARE(bench.written().mid(3), written);
}

// A board whose all-off does not give the state planned: the requests fail
// with the state read, and channel commands stand alone from then on.
void TestBoardQueue::allCommandDropped()
{
    Bench bench(Stuck | 0xfff);
    QStringList tenOff;
    for (int outlet = 1; outlet <= 10; ++outlet)
        tenOff << QString("off %1").arg(outlet);
    for (const QString& request : tenOff)
        bench.submit(request);
    QVERIFY(bench.settle(10));
    for (const QString& request : tenOff)
        bench.submit(request);
    QVERIFY(bench.settle(20));
    QByteArrayList channels;
    for (int channel = 0; channel < 10; ++channel)
        channels << Command::channel(channel);
    QCOMPARE(bench.written(),
             QByteArrayList({"s00t", "s0bp", "s0:p", "s0;p", "s00t", "s00t"}) + channels + QByteArrayList{"s00t"});
    QVERIFY(bench.answers.first().startsWith("NotInState fff: the board did not switch"));
    QVERIFY2(bench.events.contains("the board's all-on or all-off did not give the state planned; this server no "
                                   "longer uses them to switch several outlets"),
             qPrintable(bench.events.join('\n')));
}

void TestBoardQueue::overlappingCycles_data()
{
    QTest::addColumn<int>("firstOffMs");
    QTest::addColumn<int>("secondOffMs");

    // Either way the outlet stays off until the longer off-time is over, and
    // is switched back on once, for both.
    QTest::newRow("a later, shorter cycle waits for the earlier") << 600 << 50;
    QTest::newRow("an earlier, shorter cycle waits for the later") << 50 << 600;
}

void TestBoardQueue::overlappingCycles()
{
    QFETCH(int, firstOffMs);
    QFETCH(int, secondOffMs);

    Bench bench(0x004);
    bench.offMs = firstOffMs;
    bench.submit("cycle 3");
    QVERIFY(QTest::qWaitFor([&] { return bench.written().size() == 3; }, 10000));
    bench.offMs = secondOffMs;
    bench.submit("cycle 3");
    QVERIFY(bench.settle(2));
    // The second cycle's off half found the outlet off already: a read, no command.
    QCOMPARE(bench.written().mid(3), (QByteArrayList{"s00t", "s00t", "s02p", "s00t"}));
    QCOMPARE(bench.answers, (QStringList{"ok 004", "ok 004"}));
}

void TestBoardQueue::faults_data()
{
    QTest::addColumn<bool>("unplug");  // else the board falls silent
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("events");

    const QString silence = "the board did not answer the status query (3 tries, 20 ms each)";
    QTest::newRow("silent board") << false << QStringList{"NoAnswer: " + silence, "NoAnswer: " + silence}
                                  << QStringList{"the port is open", "the board answers",
                                                 "the board does not answer: " + silence, "the board answers again"};
    const QString gone = "no answer to the status query: Input/output error";
    const QString absent = "/dev/ttyUSB0 cannot be opened: it is not there";
    QTest::newRow("adapter unplugged") << true << QStringList{"NoAnswer: " + gone, "NoAnswer: " + absent}
                                       << QStringList{"the port is open",         "the board answers",
                                                      "the port failed: " + gone, absent,
                                                      "the port is open",         "the board answers again"};
}

void TestBoardQueue::faults()
{
    QFETCH(bool, unplug);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, events);

    Bench bench(0x004, 20);
    QTRY_VERIFY(bench.queue->answering());
    (unplug ? bench.board.unplugged : bench.board.silent) = true;
    for (qint64 ms : {1000, 2000}) {
        bench.clockMs = ms;
        bench.submit("status");
        QVERIFY(bench.settle(ms / 1000));
    }
    QCOMPARE(bench.answers, answers);
    QVERIFY(!bench.queue->answering());
    // Back without a request: the reopening (unplugged) or the poll (silent) notices.
    bench.board.unplugged = bench.board.silent = false;
    QTRY_VERIFY(bench.queue->answering());
    QCOMPARE(bench.events, events);
}

void TestBoardQueue::stop_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QByteArrayList>("written");  // from the stop on
    QTest::addColumn<QStringList>("answers");

    const QString stopped = "interrupted by the server stopping during the off-time; ";
    const QString silence = "the board did not answer the status query (3 tries, 20 ms each)";
    QTest::newRow("switched back on with a pending request")
        << false << QByteArrayList{"s00t", "s02p", "s04p", "s00t"}
        << QStringList{"ok 014", "Stopped 014: " + stopped + "outlet 3 (router) switched back on"};
    QTest::newRow("silent board") << true << QByteArrayList(3, "s00t")
                                  << QStringList{"NoAnswer: " + silence, "Stopped: " + stopped +
                                                                             "switching back on failed: " + silence +
                                                                             "; outlet 3 (router) may still be off"};
}

void TestBoardQueue::stop()
{
    QFETCH(bool, silent);
    QFETCH(QByteArrayList, written);
    QFETCH(QStringList, answers);

    Bench bench(0x004);
    QVERIFY(bench.cycling());
    bench.board.silent = silent;
    bench.submit("on 5");
    bool stopped = false;
    bench.queue->stop([&] { stopped = true; });
    QTRY_VERIFY(stopped);
    QCOMPARE(bench.answers, answers);
    QCOMPARE(bench.written().mid(3), written);
    QVERIFY(!bench.board.open);
    bench.submit("status");
    QVERIFY(bench.settle(3));
    QCOMPARE(bench.answers.last(), "Stopped: the server is stopping");
}

QTEST_GUILESS_MAIN(TestBoardQueue)
#include "tst_board_queue.moc"
