// The command line's reply scanner: the first reply of its kind in the bytes
// after a command, wherever it starts and however the reads split it.
#include "reply_scanner.h"

#include <QtTest>

using Kind = ReplyScanner::Kind;
Q_DECLARE_METATYPE(ReplyScanner::Kind)

class TestReplyScanner : public QObject {
    Q_OBJECT
private slots:
    void firstReplyAfterTheCommand_data();
    void firstReplyAfterTheCommand();
};

void TestReplyScanner::firstReplyAfterTheCommand_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QByteArrayList>("reads");  // in hex, one entry per read
    QTest::addColumn<int>("foundInRead");       // -1: never found
    QTest::addColumn<QByteArray>("replyHex");
    QTest::addColumn<int>("word");  // -1: none
    QTest::addColumn<int>("skipped");

    const auto row = [](const char* name, Kind kind, QByteArrayList reads, int foundIn, const char* reply, int word,
                        int skipped) {
        for (QByteArray& read : reads)
            read = QByteArray::fromHex(read);
        QTest::newRow(name) << kind << reads << foundIn << QByteArray(reply) << word << skipped;
    };
    row("status alone", Kind::Status, {"00050374"}, 0, "00050374", 0x305, 0);
    row("all outlets", Kind::Status, {"00ff0f74"}, 0, "00ff0f74", 0xfff, 0);
    row("noise first", Kind::Status, {"4142", "00050374"}, 1, "00050374", 0x305, 2);
    row("one byte per read", Kind::Status, {"00", "05", "03", "74"}, 3, "00050374", 0x305, 0);
    row("empty reads between", Kind::Status, {"", "0005", "", "0374"}, 3, "00050374", 0x305, 0);
    row("tail of a late answer", Kind::Status, {"0374", "00050374"}, 1, "00050374", 0x305, 2);
    row("'t' and zero before it", Kind::Status, {"7400740005", "0374"}, 1, "00050374", 0x305, 3);
    row("zero that does not start one", Kind::Status, {"0001020300070074"}, 0, "00070074", 0x007, 4);
    row("a 't' as high byte", Kind::Status, {"00007474"}, 0, "00007474", 0x7400, 0);
    row("second reply ignored", Kind::Status, {"0001007400020074"}, 0, "00010074", 0x001, 0);
    row("three bytes, then the last", Kind::Status, {"4142000503", "74"}, 1, "00050374", 0x305, 2);
    row("reply split after noise", Kind::Status, {"41420001", "0074"}, 1, "00010074", 0x001, 2);
    row("upgrade reply is no status", Kind::Status, {"73757064"}, -1, "", -1, 0);
    row("nothing", Kind::Status, {"", "7373"}, -1, "", -1, 0);
    row("three of four", Kind::Status, {"000503"}, -1, "", -1, 0);
    row("upgrade ready", Kind::UpgradeReady, {"73757064"}, 0, "73757064", -1, 0);
    row("upgrade ready, any first byte", Kind::UpgradeReady, {"00757064"}, 0, "00757064", -1, 0);
    row("upgrade after a status reply", Kind::UpgradeReady, {"00000074", "73", "757064"}, 2, "73757064", -1, 4);
    row("status is no upgrade reply", Kind::UpgradeReady, {"00757074"}, -1, "", -1, 0);
}

void TestReplyScanner::firstReplyAfterTheCommand()
{
    QFETCH(Kind, kind);
    QFETCH(QByteArrayList, reads);
    QFETCH(int, foundInRead);
    QFETCH(QByteArray, replyHex);
    QFETCH(int, word);
    QFETCH(int, skipped);

    ReplyScanner scanner(kind);
    int foundAt = -1;
    for (int i = 0; i < reads.size(); ++i) {
        const bool found = scanner.feed(reads[i]);
        QCOMPARE(found, scanner.found());
        if (found && foundAt < 0)
            foundAt = i;
    }
    QCOMPARE(foundAt, foundInRead);
    QCOMPARE(scanner.reply().toHex(), replyHex);
    QCOMPARE(scanner.stateword() ? int(*scanner.stateword()) : -1, word);
    if (!scanner.found())
        return;
    QCOMPARE(int(scanner.skipped()), skipped);
    // Bytes after the reply change nothing.
    scanner.feed(QByteArray::fromHex("00ffff74"
                                     "32757064"));
    QCOMPARE(scanner.reply().toHex(), replyHex);
    QCOMPARE(int(scanner.skipped()), skipped);
}

QTEST_APPLESS_MAIN(TestReplyScanner)
#include "tst_reply_scanner.moc"
