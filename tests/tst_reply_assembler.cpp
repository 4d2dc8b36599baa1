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
        const QString expected = "0 1 2 3 4 5 6 7 8 9 A B C D E F "
                                 "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F "
                                 "20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F "
                                 "30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F "
                                 "40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F "
                                 "50 51 52 53 54 55 56 57 58 59 5A 5B 5C 5D 5E 5F "
                                 "60 61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F "
                                 "70 71 72 73 74 75 76 77 78 79 7A 7B 7C 7D 7E 7F "
                                 "80 81 82 83 84 85 86 87 88 89 8A 8B 8C 8D 8E 8F "
                                 "90 91 92 93 94 95 96 97 98 99 9A 9B 9C 9D 9E 9F "
                                 "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF "
                                 "B0 B1 B2 B3 B4 B5 B6 B7 B8 B9 BA BB BC BD BE BF "
                                 "C0 C1 C2 C3 C4 C5 C6 C7 C8 C9 CA CB CC CD CE CF "
                                 "D0 D1 D2 D3 D4 D5 D6 D7 D8 D9 DA DB DC DD DE DF "
                                 "E0 E1 E2 E3 E4 E5 E6 E7 E8 E9 EA EB EC ED EE EF "
                                 "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF ";
        // In groups of five, neither 't' nor 'd' reaches slot 3 in this sequence.
        const Fed fed = feed(assembler, all);
        QVERIFY(fed.replies.isEmpty());
        QCOMPARE(assembler.Rxhex(), expected);
    }
};

QTEST_APPLESS_MAIN(TestReplyAssembler)
#include "tst_reply_assembler.moc"
