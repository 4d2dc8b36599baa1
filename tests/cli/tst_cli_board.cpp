// One exchange with the board over a scripted link: which bytes are written,
// which reply is taken, and when the board counts as silent.
#include "board.h"
#include "scripted_link.h"

#include <QtTest>

#include <optional>

class TestCliBoard : public QObject {
    Q_OBJECT
private slots:
    void readStatus_data();
    void readStatus();
    void upgrade_data();
    void upgrade();
};

void TestCliBoard::readStatus_data()
{
    QTest::addColumn<QByteArray>("before");  // bytes waiting before the query
    QTest::addColumn<QByteArrayList>("script");
    QTest::addColumn<int>("failWrite");
    QTest::addColumn<int>("queries");
    QTest::addColumn<QString>("result");  // the word in hex, or the error

    QTest::newRow("answer") << QByteArray() << QByteArrayList{"00050374"} << -1 << 1 << "305";
    QTest::newRow("one byte per read") << QByteArray() << QByteArrayList{"00 05 03 74"} << -1 << 1 << "305";
    QTest::newRow("noise first") << QByteArray() << QByteArrayList{"7400 7400050374"} << -1 << 1 << "305";
    QTest::newRow("old bytes are dropped") << QByteArray("00ff0f74") << QByteArrayList{"00010074"} << -1 << 1 << "1";
    QTest::newRow("third try") << QByteArray() << QByteArrayList{"-", "-", "00010074"} << -1 << 3 << "1";
    QTest::newRow("late answer to the first try")
        << QByteArray() << QByteArrayList{"- 0005", "0374 00ff0f74"} << -1 << 2 << "305";
    QTest::newRow("silent") << QByteArray() << QByteArrayList{} << -1 << 3
                            << "the board did not answer the status query (3 tries, 10 ms each)";
    QTest::newRow("half an answer each time") << QByteArray() << QByteArrayList{"0005 -", "-", "-"} << -1 << 3
                                              << "the board did not answer the status query (3 tries, 10 ms each)";
    QTest::newRow("device fails") << QByteArray() << QByteArrayList{} << 0 << 0
                                  << "writing \"s00t\" failed: Input/output error";
    QTest::newRow("device gone while waiting")
        << QByteArray() << QByteArrayList{"00 x"} << -1 << 1 << "no answer to the status query: Input/output error";
    QTest::newRow("device fails on the retry")
        << QByteArray() << QByteArrayList{"-"} << 1 << 1 << "writing \"s00t\" failed: Input/output error";
}

void TestCliBoard::readStatus()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArrayList, script);
    QFETCH(int, failWrite);
    QFETCH(int, queries);
    QFETCH(QString, result);

    ScriptedLink link;
    link.script = script;
    link.failWrite = failWrite;
    if (!before.isEmpty())
        link.incoming << QByteArray::fromHex(before);
    Board board(link, 10);
    QString got;
    try {
        got = QString::number(board.readStatus(), 16);
    } catch (const BoardError& error) {
        got = error.message();
    }
    QCOMPARE(got, result);
    QCOMPARE(link.written, QByteArrayList(queries, "s00t"));
}

void TestCliBoard::upgrade_data()
{
    QTest::addColumn<QByteArrayList>("script");
    QTest::addColumn<int>("tries");
    QTest::addColumn<QString>("result");

    QTest::newRow("ready") << QByteArrayList{"73757064"} << 1 << "ready";
    QTest::newRow("ready after a status reply") << QByteArrayList{"00050374 73 757064"} << 1 << "ready";
    QTest::newRow("ready on the second try") << QByteArrayList{"-", "73757064"} << 2 << "ready";
    QTest::newRow("a status reply is not ready")
        << QByteArrayList{"00050374", "00050374", "00050374"} << 3
        << "the board did not answer the upgrade command (3 tries, 10 ms each)";
}

void TestCliBoard::upgrade()
{
    QFETCH(QByteArrayList, script);
    QFETCH(int, tries);
    QFETCH(QString, result);

    ScriptedLink link;
    link.script = script;
    Board board(link, 10);
    QString got = "ready";
    try {
        board.enterUpgrade();
    } catch (const BoardError& error) {
        got = error.message();
    }
    QCOMPARE(got, result);
    QCOMPARE(link.written, QByteArrayList(tries, "su0p"));
}

QTEST_GUILESS_MAIN(TestCliBoard)
#include "tst_cli_board.moc"
