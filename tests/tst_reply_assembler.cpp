// The reply assembler on its own: framing, recognition and the trace.
#include "reply_assembler.h"

#include <QtTest>

using Reply = ReplyAssembler::Reply;
Q_DECLARE_METATYPE(Reply)

namespace {
// Feeds one byte per receive event, acting on a recognised reply the way the
// window does (reset after it). Returns the replies in order, with the trace
// each one would show.
struct Fed {
    QList<Reply> replies;
    QStringList shown;
};

Fed feed(ReplyAssembler& assembler, const QByteArray& bytes)
{
    Fed fed;
    for (char byte : bytes) {
        const Reply reply = assembler.receive(QByteArray(1, byte));
        if (reply != Reply::None) {
            fed.replies << reply;
            fed.shown << assembler.Rxhex();
            assembler.reset();
        }
    }
    return fed;
}
}  // namespace

class TestReplyAssembler : public QObject {
    Q_OBJECT
private slots:
    void framing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<Reply>>("replies");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<int>("stateword");  // -1: none yet
        QTest::addColumn<QString>("traceAfter");
        QTest::addColumn<int>("rxposAfter");

        const QList<Reply> status{Reply::Status};
        QTest::newRow("status 773") << QByteArray::fromHex("00050374") << status << QStringList{"0 5 3 74 "} << 773
                                    << "" << 0;
        QTest::newRow("status 65535 without overflow")
            << QByteArray::fromHex("00ffff74") << status << QStringList{"0 FF FF 74 "} << 65535 << "" << 0;
        QTest::newRow("u and p as state bytes")
            << QByteArray::fromHex("00757074") << status << QStringList{"0 75 70 74 "} << 28789 << "" << 0;
        QTest::newRow("first byte not zero")
            << QByteArray::fromHex("01050374") << QList<Reply>{} << QStringList{} << -1 << "1 5 3 74 " << 4;
        QTest::newRow("stray byte before two replies") << QByteArray::fromHex("410005037400050374") << status
                                                       << QStringList{"41 0 5 3 74 0 5 3 74 "} << 773 << "" << 0;
        QTest::newRow("upgrade ready, any first byte")
            << QByteArray::fromHex("73757064") << QList<Reply>{Reply::UpgradeReady} << QStringList{"73 75 70 64 "} << -1
            << "" << 0;
        QTest::newRow("d without u and p")
            << QByteArray::fromHex("00757164") << QList<Reply>{} << QStringList{} << -1 << "0 75 71 64 " << 4;
        QTest::newRow("two replies back to back")
            << QByteArray::fromHex("0001007400020074") << QList<Reply>{Reply::Status, Reply::Status}
            << QStringList{"0 1 0 74 ", "0 2 0 74 "} << 2 << "" << 0;
        QTest::newRow("five unrecognised then wrap")
            << QByteArray::fromHex("0a0b0c0d0e00") << QList<Reply>{} << QStringList{} << -1 << "A B C D E 0 " << 1;
    }
    void framing()
    {
        QFETCH(QByteArray, bytes);
        ReplyAssembler assembler;
        const Fed fed = feed(assembler, bytes);
        QTEST(fed.replies, "replies");
        QTEST(fed.shown, "shown");
        QFETCH(int, stateword);
        QCOMPARE(assembler.Stateword().has_value(), stateword >= 0);
        if (stateword >= 0)
            QCOMPARE(int(*assembler.Stateword()), stateword);
        QTEST(assembler.Rxhex(), "traceAfter");
        QTEST(assembler.Rxpos(), "rxposAfter");
    }

    void slotsAreNeverCleared()
    {
        ReplyAssembler assembler;
        feed(assembler, QByteArray::fromHex("00050374"));
        QCOMPARE(assembler.Rxframe(3), std::uint8_t(0x74));
        feed(assembler, QByteArray::fromHex("4142"));
        QCOMPARE(assembler.Rxframe(0), std::uint8_t(0x41));
        QCOMPARE(assembler.Rxframe(3), std::uint8_t(0x74));
    }

    void multiByteReadFilesOnlyTheLast()
    {
        ReplyAssembler assembler;
        QCOMPARE(assembler.receive(QByteArray::fromHex("000503")), Reply::None);
        QCOMPARE(assembler.Rxbuf(), QByteArray::fromHex("000503"));
        QCOMPARE(assembler.Rxhex(), QString("3 "));
        QCOMPARE(assembler.Rxpos(), 1);
        QCOMPARE(assembler.Rxframe(0), std::uint8_t(3));
    }

    void emptyReadAndOtherEvents()
    {
        ReplyAssembler assembler;
        feed(assembler, QByteArray::fromHex("00050374"));  // reset: Rxpos 0
        feed(assembler, QByteArray::fromHex("01050374"));  // Rxpos 4, unrecognised
        QCOMPARE(assembler.otherEvent(), Reply::None);
        QCOMPARE(assembler.receive({}), Reply::None);
        QCOMPARE(assembler.Rxpos(), 4);
        QCOMPARE(assembler.Rxhex(), QString("1 5 3 74 "));
        feed(assembler, QByteArray::fromHex("42"));
        QCOMPARE(assembler.Rxpos(), 5);
        QCOMPARE(assembler.otherEvent(), Reply::None);
        QCOMPARE(assembler.Rxpos(), 0);
        QCOMPARE(assembler.Rxhex(), QString("1 5 3 74 42 "));
    }

    void traceKeepsTheMostRecentEntries()
    {
        ReplyAssembler assembler;
        feed(assembler, QByteArray(5000, 0x41));
        QCOMPARE(assembler.traceEntries(), ReplyAssembler::TraceLimit);
        const Fed fed = feed(assembler, QByteArray::fromHex("00050374"));
        QCOMPARE(fed.replies, QList<Reply>{Reply::Status});
        const QString shown = fed.shown.first();
        QCOMPARE(shown.count(' '), ReplyAssembler::TraceLimit);
        QVERIFY(shown.endsWith("41 0 5 3 74 "));
        QVERIFY(shown.startsWith("41 41 "));
    }

    void everyByteValueIsTracedInUpperCaseHex()
    {
        ReplyAssembler assembler;
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        QString expected;
        for (int b = 0; b < 256; ++b)
            expected += QString::number(b, 16).toUpper() + ' ';
        // In groups of five, neither 't' nor 'd' reaches slot 3 in this sequence.
        const Fed fed = feed(assembler, all);
        QVERIFY(fed.replies.isEmpty());
        QCOMPARE(assembler.Rxhex(), expected);
    }
};

QTEST_APPLESS_MAIN(TestReplyAssembler)
#include "tst_reply_assembler.moc"
