// ControllerModel: replies, output word, upgrade mode and resynchronisation,
// fed both in one piece and one byte at a time.
#include "controller_model.h"

#include <QtTest>

using orvessa::sim::ControllerModel;
using orvessa::sim::ModelEvent;

namespace {

QByteArray repliesOf(const std::vector<ModelEvent>& events)
{
    QByteArray out;
    for (const ModelEvent& ev : events) {
        out.append(reinterpret_cast<const char*>(ev.reply.data()), qsizetype(ev.reply.size()));
    }
    return out;
}

std::vector<ModelEvent> feed(ControllerModel& model, const QByteArray& bytes)
{
    return model.feed(std::string_view(bytes.constData(), size_t(bytes.size())));
}

// Replies in hex: status "00 lo hi 74", upgrade ready "73757064".
void row(const char* name, int start, const QByteArray& input, const QByteArray& repliesHex, int endWord,
         bool endUpgrade)
{
    QTest::newRow(name) << start << input << repliesHex << endWord << endUpgrade;
}

}  // namespace

class TestControllerModel : public QObject {
    Q_OBJECT

private slots:
    void feedProducesRepliesAndState_data();
    void feedProducesRepliesAndState();
    void eventsNameTheCommandAndWhetherItWasObeyed();
    void closingThePortLeavesUpgradeModeAndDropsPartialCommand();
    void stuckControllerIgnoresSwitchingCommands_data();
    void stuckControllerIgnoresSwitchingCommands();
};

void TestControllerModel::feedProducesRepliesAndState_data()
{
    QTest::addColumn<int>("startWord");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("repliesHex");
    QTest::addColumn<int>("endWord");
    QTest::addColumn<bool>("endUpgrade");

    row("status 0", 0, "s00t", "00000074", 0, false);
    row("status 0x3C5", 0x3C5, "s00t", "00c50374", 0x3C5, false);
    row("status 0xFFF", 0xFFF, "s00t", "00ff0f74", 0xFFF, false);
    row("toggle 0 on", 0, "s00p", "", 0x001, false);
    row("toggle 3, then query", 0, "s03ps00t", "00080074", 0x008, false);
    row("toggle 10 is s0:p", 0, "s0:p", "", 0x400, false);
    row("toggle 11 is s0;p", 0x0FF, "s0;p", "", 0x8FF, false);
    row("toggle 11 twice", 0, "s0;ps0;p", "", 0, false);
    row("all on", 0x001, "s0ap", "", 0xFFF, false);
    row("all off", 0xFFF, "s0bp", "", 0, false);
    row("all on, toggle 0", 0, "s0aps00ps00t", "00fe0f74", 0xFFE, false);
    // Upgrade mode: ready reply, then no answer and no obeying until "b".
    row("upgrade reply", 5, "su0p", "73757064", 5, true);
    row("upgrade ignores all", 5, "su0ps00ts01ps0aps0bps0:psu0p", "73757064", 5, true);
    row("b leaves upgrade", 5, "su0pbs00t",
        "73757064"
        "00050074",
        5, false);
    row("obeys again after b", 0, "su0ps03pbs03ps00t",
        "73757064"
        "00080074",
        0x008, false);
    row("b of s0bp is no reset", 5, "su0ps0bps00t", "73757064", 5, true);
    row("s0, b, query: reset", 5, "su0ps0bs00t",
        "73757064"
        "00050074",
        5, false);
    row("s0, b, garbage: reset", 5, "su0ps0bxs00t",
        "73757064"
        "00050074",
        5, false);
    row("b keeps outputs", 0x321, "bs00t", "00210374", 0x321, false);
    // Garbage is dropped; 's' restarts a command.
    row("garbage, restarted query", 0, "xxs0s00t", "00000074", 0, false);
    row("garbage between queries", 1, QByteArray("\xff\0s00t z\r\ns00t", 14),
        "00010074"
        "00010074",
        1, false);
    row("s after s", 0, "ss00t", "00000074", 0, false);
    row("s after su0", 0, "su0s00t", "00000074", 0, false);
    row("own replies are no command", 0, QByteArray::fromHex("0000007473757064"), "", 0, false);
    row("query needs t", 0, "s00q", "", 0, false);
    row("all on needs p", 0, "s0at", "", 0, false);
    row("no channel 12", 0, "s0<p", "", 0, false);
    row("upgrade needs su0p", 0, "su0tsu1psup", "", 0, false);
}

void TestControllerModel::feedProducesRepliesAndState()
{
    QFETCH(int, startWord);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, repliesHex);
    QFETCH(int, endWord);
    QFETCH(bool, endUpgrade);

    ControllerModel whole(static_cast<std::uint16_t>(startWord));
    QCOMPARE(repliesOf(feed(whole, input)).toHex(), repliesHex);
    QCOMPARE(int(whole.word()), endWord);
    QCOMPARE(whole.upgradeMode(), endUpgrade);

    // One byte at a time, as a slow line delivers it.
    ControllerModel split(static_cast<std::uint16_t>(startWord));
    QByteArray replies;
    for (qsizetype i = 0; i < input.size(); ++i) {
        replies += repliesOf(feed(split, input.mid(i, 1)));
    }
    QCOMPARE(replies.toHex(), repliesHex);
    QCOMPARE(int(split.word()), endWord);
    QCOMPARE(split.upgradeMode(), endUpgrade);
}

void TestControllerModel::eventsNameTheCommandAndWhetherItWasObeyed()
{
    ControllerModel model;
    QStringList seen;
    for (const ModelEvent& ev : feed(model, "s00ts0:ps0bpxbsu0ps0;ps0bs00tb")) {
        seen << QString::fromStdString(ev.text) + (ev.obeyed ? "" : "!") + QString::number(ev.channel);
    }
    QCOMPARE(seen, (QStringList{"s00t-1", "s0:p10", "s0bp-1", "b-1", "su0p-1", "s0;p!11", "b-1", "s00t-1", "b-1"}));
}

void TestControllerModel::closingThePortLeavesUpgradeModeAndDropsPartialCommand()
{
    ControllerModel model(0xF0F0);  // only 12 bits are kept
    QCOMPARE(repliesOf(feed(model, "su0ps0")).toHex(), QByteArray("73757064"));
    QVERIFY(model.upgradeMode() && model.midCommand());
    model.portClosed();
    QVERIFY(!model.upgradeMode() && !model.midCommand());
    QCOMPARE(repliesOf(feed(model, "0ts00t")).toHex(), QByteArray("00f00074"));
}

void TestControllerModel::stuckControllerIgnoresSwitchingCommands_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("repliesHex");
    // Each command, with "!" when it was ignored.
    QTest::addColumn<QStringList>("seen");

    QTest::newRow("channel") << QByteArray("s02ps0;ps00t") << QByteArray("00050074")
                             << QStringList{"s02p!", "s0;p!", "s00t"};
    QTest::newRow("all on, all off") << QByteArray("s0aps0bps00t") << QByteArray("00050074")
                                     << QStringList{"s0ap!", "s0bp!", "s00t"};
    QTest::newRow("upgrade and reset obeyed") << QByteArray("su0pbs00t")
                                              << QByteArray("73757064"
                                                            "00050074")
                                              << QStringList{"su0p", "b", "s00t"};
}

void TestControllerModel::stuckControllerIgnoresSwitchingCommands()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, repliesHex);
    QFETCH(QStringList, seen);

    ControllerModel model(0x005, /*stuck=*/true);
    const auto events = feed(model, input);
    QCOMPARE(repliesOf(events).toHex(), repliesHex);
    QStringList commands;
    for (const ModelEvent& ev : events)
        commands << QString::fromStdString(ev.text) + (ev.obeyed ? "" : "!");
    QCOMPARE(commands, seen);
    QCOMPARE(int(model.word()), 0x005);
    QVERIFY(!model.upgradeMode());
}

QTEST_APPLESS_MAIN(TestControllerModel)
#include "tst_sim_controller_model.moc"
