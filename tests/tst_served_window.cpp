// The window driving a board through orvessa serve: the same handlers as with
// a port, behind the served serial component, against a fake server.
#include "fake_board_server.h"
#include "fake_serial.h"
#include "form1.h"
#include "lamp.h"
#include "routed_serial.h"
#include "served_serial.h"
#include "test_platform.h"

#include <QJsonArray>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

const QString kLinkFault = "串口通讯不正常，请检查串口";
const QString kPortClosed = "串口未打开，请检查串口";
const QColor kRed(255, 0, 0);
const QColor kGreen(0, 255, 0);

// Runs the events the component posted (one per byte delivered), and deletes
// the clients of ended sessions.
void settle()
{
    for (int i = 0; i < 40; ++i)
        QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The outlets whose lamps are red, numbered from 1.
QList<int> redLamps(const Form1& form)
{
    QList<int> red;
    for (int k = 0; k < Form1::Channels; ++k)
        if (form.Lamp0[static_cast<std::size_t>(k)]->fillColor() == kRed)
            red << k + 1;
    return red;
}

// A started window on the served component; the test pushes events through `server`.
struct ServedWindow {
    ServerLog log;
    QPointer<FakeBoardServer> server;
    ServedSerial serial{[this] {
                            auto made = std::make_unique<FakeBoardServer>(log);
                            server = made.get();
                            return made;
                        },
                        QStringLiteral("orvessa serve at http://127.0.0.1:8321/")};
    TestPlatform platform;
    std::unique_ptr<Form1> form;

    explicit ServedWindow(const QString& savedPort = {})
    {
        if (!savedPort.isEmpty())
            platform.settings["Com/PORT"] = savedPort;
        form = std::make_unique<Form1>(serial, platform);
        form->startUp();
        // Ticks come from the test alone.
        form->Timer1->stop();
        platform.messages.clear();
    }
    void tick(int times)
    {
        for (int i = 0; i < times; ++i) {
            form->Timer1_Timer();
            settle();
        }
    }
};

QPushButton* button(Form1& f, const QString& name)
{
    if (name.startsWith("Key0("))
        return f.Key0.at(name.mid(5).chopped(1).toUInt());
    const QMap<QString, QPushButton*> buttons{
        {"Keyall", f.Keyall}, {"Command1", f.Command1}, {"Rstcomm", f.Rstcomm}, {"Upcomm", f.Upcomm}};
    return buttons.value(name);
}

QJsonObject outlets(int outlet) { return {{"outlets", QJsonArray{outlet}}}; }

}  // namespace

class TestServedWindow : public QObject {
    Q_OBJECT
private slots:
    void opensThroughTheServer_data()
    {
        QTest::addColumn<QString>("saved");
        QTest::addColumn<int>("port");
        QTest::newRow("no port saved") << "" << 1;
        QTest::newRow("COM3 saved") << "3" << 3;
    }
    void opensThroughTheServer()
    {
        QFETCH(QString, saved);
        QFETCH(int, port);
        ServedWindow w(saved);
        QVERIFY(w.serial.PortOpen());
        // Start-up opens a saved port twice, as with a port: one session stays.
        QCOMPARE(w.log.starts - w.log.stops, 1);
        QCOMPARE(w.form->Comopen->text(), QString("关闭串口"));
        QCOMPARE(w.form->Shape1->fillColor(), kGreen);
        QVERIFY(w.platform.messages.isEmpty());
        QCOMPARE(int(w.serial.CommPort()), port);
        QCOMPARE(w.serial.describePort(w.serial.CommPort()),
                 QStringLiteral("COM%1: %2").arg(port).arg(FakeBoardServer::Description));
    }

    void commandsBecomeRequests_data()
    {
        QTest::addColumn<QString>("clicked");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QJsonObject>("body");
        // Channel n's command toggles bit n of the board's word: outlet n + 1.
        QTest::newRow("channel 0") << "Key0(0)"
                                   << "/api/toggle" << outlets(1);
        QTest::newRow("channel 6") << "Key0(6)"
                                   << "/api/toggle" << outlets(7);
        QTest::newRow("channel 11") << "Key0(11)"
                                    << "/api/toggle" << outlets(12);
        QTest::newRow("all on") << "Keyall"
                                << "/api/all-on" << QJsonObject();
        QTest::newRow("all off") << "Command1"
                                 << "/api/all-off" << QJsonObject();
        QTest::newRow("reset") << "Rstcomm"
                               << "/api/reset" << QJsonObject();
    }
    void commandsBecomeRequests()
    {
        QFETCH(QString, clicked);
        QFETCH(QString, path);
        QFETCH(QJsonObject, body);
        ServedWindow w;
        button(*w.form, clicked)->click();
        settle();
        QCOMPARE(w.log.requests.size(), 1);
        QCOMPARE(w.log.requests.first().first, path);
        QCOMPARE(w.log.requests.first().second, body);
        QVERIFY(w.platform.messages.isEmpty());
    }

    void stateEventsPaintTheLamps_data()
    {
        QTest::addColumn<QList<int>>("words");
        QTest::addColumn<QList<int>>("red");
        QTest::newRow("outlet 1") << QList<int>{0x0001} << QList<int>{1};
        QTest::newRow("outlets 7 and 12") << QList<int>{0x0840} << QList<int>{7, 12};
        QTest::newRow("all on") << QList<int>{0x0FFF} << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        QTest::newRow("on, then off") << QList<int>{0x0FFF, 0x0000} << QList<int>{};
        QTest::newRow("two changes in one pass") << QList<int>{0x0001, 0x0002} << QList<int>{2};
    }
    void stateEventsPaintTheLamps()
    {
        QFETCH(QList<int>, words);
        QFETCH(QList<int>, red);
        ServedWindow w;
        // Lamps start green; the first word must show without any poll.
        for (int k : {0, 1, 6, 11})
            w.form->Lamp0[std::size_t(k)]->setFillColor(k % 2 ? kGreen : kRed);
        for (int word : words)
            w.server->pushState(word);
        settle();
        QCOMPARE(redLamps(*w.form), red);
        QCOMPARE(w.form->Ticks(), 0);
        QVERIFY(w.log.requests.isEmpty());
    }

    void silentBoardBringsTheLinkFault_data()
    {
        QTest::addColumn<bool>("stateAnswers");
        QTest::addColumn<QList<bool>>("linkAnswers");
        QTest::addColumn<QStringList>("messages");
        // As on a wire, a board that answered once keeps its mark in the
        // reply window, so each row starts from a board that never answered.
        QTest::newRow("state: not answering") << false << QList<bool>{} << QStringList{kLinkFault};
        QTest::newRow("link: answers again") << false << QList<bool>{true} << QStringList{};
        QTest::newRow("link: answers again, then stops")
            << false << QList<bool>{true, false} << QStringList{kLinkFault};
        QTest::newRow("answering") << true << QList<bool>{} << QStringList{};
    }
    void silentBoardBringsTheLinkFault()
    {
        QFETCH(bool, stateAnswers);
        QFETCH(QList<bool>, linkAnswers);
        QFETCH(QStringList, messages);
        ServedWindow w;
        w.server->pushState(0x0005, stateAnswers);
        for (bool answers : linkAnswers)
            w.server->pushLink(answers);
        settle();
        // The count starts again at the tick that sees the pushed reply.
        w.tick(int(LinkWatchdog::FaultTicks) + 1);
        QCOMPARE(w.platform.messages, messages);
    }

    void upgradeIsRefused_data()
    {
        QTest::addColumn<QString>("clicked");
        QTest::newRow("upgrade button") << "Upcomm";
    }
    void upgradeIsRefused()
    {
        QFETCH(QString, clicked);
        ServedWindow w;
        button(*w.form, clicked)->click();
        QCOMPARE(w.platform.messages.size(), 1);
        const QString& report = w.platform.messages.first();
        QVERIFY2(report.startsWith("error NO: 8005--MSComm1: "), qPrintable(report));
        QVERIFY2(report.contains(FakeBoardServer::Description), qPrintable(report));
        QVERIFY2(report.contains("stop that server"), qPrintable(report));
        QVERIFY(w.serial.PortOpen());
        QVERIFY(w.log.requests.isEmpty());
    }

    void lostServerClosesThePort_data()
    {
        QTest::addColumn<bool>("replyWaiting");
        QTest::newRow("idle") << false;
        QTest::newRow("a reply not yet delivered") << true;
    }
    void lostServerClosesThePort()
    {
        QFETCH(bool, replyWaiting);
        ServedWindow w;
        if (replyWaiting)
            w.server->pushState(0x0003);
        w.server->drop();
        settle();
        QVERIFY(!w.serial.PortOpen());
        QVERIFY(redLamps(*w.form).isEmpty());
        // The next tick finds the port closed, as after an unplugged adapter.
        w.form->Timer1->start();
        w.tick(1);
        QCOMPARE(w.platform.messages, QStringList{kPortClosed});
        QVERIFY(!w.form->Timer1->isActive());
        // The server itself is left alone; the port can be opened again.
        QCOMPARE(w.log.stops, 1);
        w.form->Comopen->click();
        QVERIFY(w.serial.PortOpen());
        QCOMPARE(w.log.starts, 2);
    }

    void closingEndsTheSession_data()
    {
        QTest::addColumn<int>("closes");
        QTest::newRow("port button") << 1;
        QTest::newRow("port button, then again to reopen") << 2;
    }
    void closingEndsTheSession()
    {
        QFETCH(int, closes);
        ServedWindow w;
        QPointer<FakeBoardServer> first = w.server;
        for (int i = 0; i < closes; ++i)
            w.form->Comopen->click();
        settle();
        QCOMPARE(w.serial.PortOpen(), closes % 2 == 0);
        QCOMPARE(w.log.stops, 1);
        QCOMPARE(w.log.starts, 1 + closes / 2);
        QVERIFY(first.isNull());  // the closed session's client is gone
    }

    void portHeldByAServerIsReachedThroughIt_data()
    {
        QTest::addColumn<int>("openError");  // 0: the port opens
        QTest::addColumn<bool>("heldByServer");
        QTest::addColumn<bool>("served");
        QTest::addColumn<QString>("report");  // the start of the error report shown, if any
        QTest::newRow("busy, held by orvessa serve") << int(SerialError::DeviceBusy) << true << true << "";
        QTest::newRow("busy, held by another program")
            << int(SerialError::DeviceBusy) << false << false << "error NO: 8005";
        QTest::newRow("missing") << int(SerialError::DeviceMissing) << true << false << "error NO: 8002";
        QTest::newRow("free") << 0 << true << false << "";
    }
    void portHeldByAServerIsReachedThroughIt()
    {
        QFETCH(int, openError);
        QFETCH(bool, heldByServer);
        QFETCH(bool, served);
        QFETCH(QString, report);
        ServerLog log;
        auto port = std::make_unique<FakeSerial>();
        FakeSerial& fake = *port;
        if (openError != 0)
            fake.failingPorts[1] = openError;
        ServeRendezvous::Server holder;
        holder.pid = 4242;
        holder.url = "http://127.0.0.1:8321/";
        RoutedSerial routed(
            std::move(port),
            [&](const OperationError&) {
                return heldByServer ? std::optional<ServeRendezvous::Server>(holder) : std::nullopt;
            },
            [&log](const ServeRendezvous::Server&) { return std::make_unique<FakeBoardServer>(log); });
        QStringList routes;
        connect(&routed, &RoutedSerial::routeChanged, this, [&routes](const QString& server) { routes << server; });
        TestPlatform platform;
        Form1 form(routed, platform);
        form.startUp();
        form.Timer1->stop();

        QCOMPARE(routed.PortOpen(), openError == 0 || served);
        QCOMPARE(log.starts, served ? 1 : 0);
        QCOMPARE(routes, served ? QStringList{holder.describe()} : QStringList{});
        if (report.isEmpty())
            QCOMPARE(platform.messages, QStringList{});
        else
            QVERIFY2(platform.messages.value(0).startsWith(report), qPrintable(platform.messages.join('\n')));
        form.Keyall->click();
        QCOMPARE(log.requests.size(), served ? 1 : 0);
        QCOMPARE(fake.written, QByteArray(openError == 0 ? "s0ap" : ""));
        if (served)
            QVERIFY(routed.describePort(1).endsWith(", through " + holder.describe()));
    }
};

QTEST_MAIN(TestServedWindow)
#include "tst_served_window.moc"
