// What the verbs send and conclude over a scripted board: a reset that waits
// for the board to answer again, a cycle that never leaves its outlets off.
#include "scripted_link.h"
#include "verbs.h"

#include <QtTest>

using namespace Driver;

class TestCliVerbs : public QObject {
    Q_OBJECT
private slots:
    void reset_data();
    void reset();
    void cycle_data();
    void cycle();
};

namespace {

OutletNames routerOn3()
{
    OutletNames names;
    names[2] = "router";
    return names;
}

QString summary(const Outcome& outcome) { return QString("%1: %2").arg(int(outcome.status)).arg(outcome.error); }

}  // namespace

void TestCliVerbs::reset_data()
{
    QTest::addColumn<QByteArrayList>("script");  // the first entry answers the reset
    QTest::addColumn<int>("answerMs");
    QTest::addColumn<int>("queries");
    QTest::addColumn<QString>("result");  // exit status: message, or the word in hex

    const QString silent = "1: the board was reset but has not answered a status query in 0.01 s: check that it "
                           "has power and that its serial cable is connected";
    QTest::newRow("answers at once") << QByteArrayList{"", "00050374"} << 1000 << 1 << "0: 305";
    QTest::newRow("answers the third query") << QByteArrayList{"", "-", "-", "00050374"} << 1000 << 3 << "0: 305";
    QTest::newRow("silent") << QByteArrayList{} << 10 << 1 << silent;
    QTest::newRow("a timeout longer than the allowance") << QByteArrayList{} << 0 << 1 << silent;
    QTest::newRow("device gone") << QByteArrayList{"", "x"} << 1000 << 1
                                 << "1: no answer to the status query: Input/output error";
}

void TestCliVerbs::reset()
{
    QFETCH(QByteArrayList, script);
    QFETCH(int, answerMs);
    QFETCH(int, queries);
    QFETCH(QString, result);

    ScriptedLink link;
    link.script = script;
    Board board(link, 10);
    VerbRequest request{Verb::Reset, {}, 0, answerMs};
    const Outcome outcome = runVerb(board, request, {}, [](int) { return std::optional<QString>(); });
    QCOMPARE(outcome.status == ExitStatus::Done ? QString("0: %1").arg(*outcome.word, 0, 16) : summary(outcome),
             result);
    QCOMPARE(link.written, QByteArrayList{"b"} + QByteArrayList(queries, "s00t"));
}

void TestCliVerbs::cycle_data()
{
    QTest::addColumn<QList<int>>("outlets");
    // "pause" in `written` is the off-time; its script entry goes unused.
    QTest::addColumn<QByteArrayList>("script");
    QTest::addColumn<QString>("cause");  // what cuts the off-time short, if anything
    QTest::addColumn<QByteArrayList>("written");
    QTest::addColumn<QString>("result");  // exit status: message

    const QByteArrayList offOnOn{"00040074", "", "00000074", "", "00000074", "", "00040074"};
    const QByteArrayList cycled{"s00t", "s02p", "s00t", "pause", "s00t", "s02p", "s00t"};
    QTest::newRow("full off-time") << QList<int>{3} << offOnOn << "" << cycled << "0: ";
    QTest::newRow("SIGTERM: switched back on")
        << QList<int>{3} << offOnOn << "SIGTERM" << cycled
        << "5: interrupted by SIGTERM during the off-time; outlet 3 (router) switched back on";
    QTest::newRow("SIGINT, then the board is silent")
        << QList<int>{3} << QByteArrayList{"00040074", "", "00000074"} << "SIGINT"
        << QByteArrayList{"s00t", "s02p", "s00t", "pause", "s00t", "s00t", "s00t"}
        << "1: interrupted by SIGINT during the off-time; switching back on failed: the board did not answer the "
           "status query (3 tries, 10 ms each); outlet 3 (router) may still be off";
    QTest::newRow("SIGTERM, then an outlet stays off")
        << QList<int>{3, 5} << QByteArrayList{"00140074", "", "", "00000074", "", "00000074", "", "", "00040074"}
        << "SIGTERM" << QByteArrayList{"s00t", "s02p", "s04p", "s00t", "pause", "s00t", "s02p", "s04p", "s00t"}
        << "1: interrupted by SIGTERM during the off-time; switching back on failed: the board did not switch: "
           "outlet 5 is off, not on; outlet 5 may still be off";
    QTest::newRow("off half fails: those that went off go back on")
        << QList<int>{3, 5} << QByteArrayList{"00140074", "", "", "00100074", "00100074", "", "00140074"} << ""
        << QByteArrayList{"s00t", "s02p", "s04p", "s00t", "s00t", "s02p", "s00t"}
        << "1: the board did not switch: outlet 5 is on, not off; outlet 3 (router) switched back on";
}

void TestCliVerbs::cycle()
{
    QFETCH(QList<int>, outlets);
    QFETCH(QByteArrayList, script);
    QFETCH(QString, cause);
    QFETCH(QByteArrayList, written);
    QFETCH(QString, result);

    ScriptedLink link;
    link.script = script;
    Board board(link, 10);
    const Pause pause = [&](int) -> std::optional<QString> {
        link.written << "pause";
        return cause.isEmpty() ? std::nullopt : std::optional(cause);
    };
    QCOMPARE(summary(runVerb(board, VerbRequest{Verb::Cycle, outlets, 30000}, routerOn3(), pause)), result);
    QCOMPARE(link.written, written);
}

QTEST_GUILESS_MAIN(TestCliVerbs)
#include "tst_cli_verbs.moc"
