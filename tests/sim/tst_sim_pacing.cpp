// Line pacing (OutputLine) and noise (NoiseSource) on virtual time: nothing
// sleeps and no real durations are measured.
#include "noise_source.h"
#include "output_line.h"

#include <QtTest>

using namespace orvessa::sim;
using namespace std::chrono_literals;

namespace {

QByteArray toBytes(const std::vector<std::uint8_t>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
}

std::vector<std::uint8_t> fromBytes(const QByteArray& b) { return std::vector<std::uint8_t>(b.begin(), b.end()); }

const OutputLine::Clock::time_point t0 = OutputLine::Clock::time_point{} + 1h;

}  // namespace

class TestPacing : public QObject {
    Q_OBJECT

private slots:
    void outputLinePacesBytes_data();
    void outputLinePacesBytes();
    void outputLineKeepsWhatWasNotWritten();
    void noiseFollowsSeedAndRate();
};

// Queues the reply "ABCD" and writes whatever is due at each virtual step.
void TestPacing::outputLinePacesBytes_data()
{
    QTest::addColumn<int>("byteGapUs");
    QTest::addColumn<int>("splitGapUs");
    QTest::addColumn<QList<int>>("stepsUs");
    QTest::addColumn<QList<int>>("released");

    QTest::newRow("fast: all at once") << 0 << 0 << QList<int>{0, 1} << QList<int>{4, 0};
    QTest::newRow("9600 baud: one per 1042 us")
        << 1042 << 0 << QList<int>{0, 1041, 1042, 2083, 2084, 3126, 9999} << QList<int>{1, 0, 1, 0, 1, 1, 0};
    QTest::newRow("late wakeup: one byte, no burst")
        << 1042 << 0 << QList<int>{0, 50000, 50001, 51042} << QList<int>{1, 1, 0, 1};
    QTest::newRow("split 5 ms") << 0 << 5000 << QList<int>{0, 4999, 5000, 10000, 15000, 20000}
                                << QList<int>{1, 0, 1, 1, 1, 0};
    QTest::newRow("split below a character time")
        << 1042 << 500 << QList<int>{0, 600, 1042, 2084} << QList<int>{1, 0, 1, 1};
}

void TestPacing::outputLinePacesBytes()
{
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

void TestPacing::outputLineKeepsWhatWasNotWritten()
{
    OutputLine line{0us, 0us};
    line.queueReply(fromBytes("abcd"));
    line.sent(2, t0);  // a full pty took only two bytes
    line.queueNoise('N');
    line.queueReply(fromBytes("ef"));
    QCOMPARE(toBytes(line.due(t0)), QByteArray("cdNef"));
    line.clear();
    QVERIFY(!line.nextDue() && line.due(t0).empty());
}

void TestPacing::noiseFollowsSeedAndRate()
{
    NoiseSource a(100.0, 7), b(100.0, 7), c(100.0, 8), off(0.0, 7);
    for (NoiseSource* n : {&a, &b, &c, &off})
        n->restart(t0);

    QVERIFY(a.take(t0 + 9ms, 1000).empty());  // first byte due at 10 ms
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

QTEST_APPLESS_MAIN(TestPacing)
#include "tst_sim_pacing.moc"
