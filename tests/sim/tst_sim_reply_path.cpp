// The way from a reply to the line: fault injection (ReplyShaper), pacing
// (OutputLine) and noise (NoiseSource). Time is virtual, nothing sleeps.
#include "controller_model.h"
#include "noise_source.h"
#include "output_line.h"
#include "reply_shaper.h"

#include <QtTest>

using namespace orvessa::sim;
using namespace std::chrono_literals;

namespace {

QByteArray toBytes(const std::vector<std::uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
}

std::vector<std::uint8_t> fromBytes(const QByteArray& b) {
    return std::vector<std::uint8_t>(b.begin(), b.end());
}

const OutputLine::Clock::time_point t0 = OutputLine::Clock::time_point{} + 1h;

}  // namespace

class TestReplyPath : public QObject {
    Q_OBJECT

private slots:
    void shaperAppliesRules_data();
    void shaperAppliesRules();
    void outputLinePacesBytes_data();
    void outputLinePacesBytes();
    void outputLineKeepsWhatWasNotWritten();
    void noiseFollowsSeedAndRate();
};

void TestReplyPath::shaperAppliesRules_data() {
    QTest::addColumn<bool>("silent");
    QTest::addColumn<int>("answerFirst");   // -1: no limit
    QTest::addColumn<QByteArray>("stray");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("wireHex");

    QTest::newRow("plain") << false << -1 << QByteArray() << QByteArray("s00ts03p") << QByteArray("00000074");
    QTest::newRow("silent") << true << -1 << QByteArray("A") << QByteArray("s00tsu0p") << QByteArray();
    QTest::newRow("first 2 of 3") << false << 2 << QByteArray() << QByteArray("s00ts00ts00t")
                                  << QByteArray("00000074" "00000074");
    QTest::newRow("first 0, upgrade still answered")
        << false << 0 << QByteArray() << QByteArray("s00tsu0p") << QByteArray("73757064");
    QTest::newRow("stray before each reply") << false << -1 << QByteArray("AB") << QByteArray("s00tsu0p")
                                             << QByteArray("4142" "00000074" "4142" "73757064");
    QTest::newRow("no stray without reply") << false << 1 << QByteArray("A")
                                            << QByteArray("s03ps0apbs00ts00t") << QByteArray("41" "00ff0f74");
}

void TestReplyPath::shaperAppliesRules() {
    QFETCH(bool, silent);
    QFETCH(int, answerFirst);
    QFETCH(QByteArray, stray);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, wireHex);

    ReplyRules rules{silent, std::nullopt, fromBytes(stray)};
    if (answerFirst >= 0) rules.answerFirst = std::uint64_t(answerFirst);
    ReplyShaper shaper(rules);
    ControllerModel model;
    QByteArray wire;
    for (const ModelEvent& ev : model.feed(std::string_view(input.constData(), size_t(input.size())))) {
        wire += toBytes(shaper.shape(ev));
    }
    QCOMPARE(wire.toHex(), wireHex);
}

// Queues the reply "ABCD" and writes whatever is due at each virtual step.
void TestReplyPath::outputLinePacesBytes_data() {
    QTest::addColumn<int>("byteGapUs");
    QTest::addColumn<int>("splitGapUs");
    QTest::addColumn<QList<int>>("stepsUs");
    QTest::addColumn<QList<int>>("released");

    QTest::newRow("fast: all at once") << 0 << 0 << QList<int>{0, 1} << QList<int>{4, 0};
    QTest::newRow("9600 baud: one per 1042 us")
        << 1042 << 0 << QList<int>{0, 1041, 1042, 2083, 2084, 3126, 9999} << QList<int>{1, 0, 1, 0, 1, 1, 0};
    QTest::newRow("late wakeup: one byte, no burst")
        << 1042 << 0 << QList<int>{0, 50000, 50001, 51042} << QList<int>{1, 1, 0, 1};
    QTest::newRow("split 5 ms")
        << 0 << 5000 << QList<int>{0, 4999, 5000, 10000, 15000, 20000} << QList<int>{1, 0, 1, 1, 1, 0};
}

void TestReplyPath::outputLinePacesBytes() {
    QFETCH(int, byteGapUs);
    QFETCH(int, splitGapUs);
    QFETCH(QList<int>, stepsUs);
    QFETCH(QList<int>, released);

    OutputLine line{std::chrono::microseconds(byteGapUs), std::chrono::microseconds(splitGapUs)};
    line.queueReply(fromBytes("ABCD"));
    QList<int> counts;
    QByteArray wire;
    for (int us : stepsUs) {
        const auto now = t0 + std::chrono::microseconds(us);
        const auto due = line.due(now);
        QCOMPARE(!due.empty(), line.nextDue() && *line.nextDue() <= now);
        line.sent(due.size(), now);
        counts << int(due.size());
        wire += toBytes(due);
    }
    QCOMPARE(counts, released);
    QVERIFY(QByteArray("ABCD").startsWith(wire));
}

void TestReplyPath::outputLineKeepsWhatWasNotWritten() {
    OutputLine line{0us, 0us};
    line.queueReply(fromBytes("abcd"));
    line.sent(2, t0);   // a full pty took only two bytes
    line.queueNoise('N');
    line.queueReply(fromBytes("ef"));
    QCOMPARE(toBytes(line.due(t0)), QByteArray("cdNef"));
    line.clear();
    QVERIFY(!line.nextDue() && line.due(t0).empty());
}

void TestReplyPath::noiseFollowsSeedAndRate() {
    NoiseSource a(100.0, 7), b(100.0, 7), c(100.0, 8), off(0.0, 7);
    for (NoiseSource* n : {&a, &b, &c, &off}) n->restart(t0);

    QVERIFY(a.take(t0 + 9ms, 1000).empty());   // first byte due at 10 ms
    const auto bytesA = a.take(t0 + 500ms, 1000);
    QCOMPARE(bytesA.size(), size_t(50));
    QCOMPARE(b.take(t0 + 500ms, 1000), bytesA);
    QVERIFY(c.take(t0 + 500ms, 1000) != bytesA);
    QVERIFY(off.take(t0 + 1s, 1000).empty() && !off.nextDue());

    // No room: due bytes are dropped and the stream goes on where it was.
    QCOMPARE(a.take(t0 + 1005ms, 3).size(), size_t(3));
    QVERIFY(a.take(t0 + 1005ms, 1000).empty());
    const auto fourth = b.take(t0 + 1005ms, 4).at(3);
    QCOMPARE(a.take(t0 + 1015ms, 1000), std::vector<std::uint8_t>{fourth});
}

QTEST_APPLESS_MAIN(TestReplyPath)
#include "tst_sim_reply_path.moc"
