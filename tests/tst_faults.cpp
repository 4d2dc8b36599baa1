// The fault matrix: each handler meets a device that is missing, held by
// another program, not permitted, unplugged while open, or gone under a write.
// Nothing crashes, one fault gives at most one box (start-up's open is told by
// both of its steps), a report names the device and the reason, indicators
// change only where the handler writes them, and the port opens again once
// the device is back.
#include "operation_error.h"
#include "window_fixture.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {
enum class Fault { Missing, Busy, Denied, Unplugged, GoneUnderWrite };

const QMap<Fault, QString> kReason{{Fault::Missing, "the device does not exist"},
                                   {Fault::Busy, "in use by another program"},
                                   {Fault::Denied, "permission denied"}};
const QMap<Fault, int> kNumber{{Fault::Missing, SerialError::DeviceMissing},
                               {Fault::Busy, SerialError::DeviceBusy},
                               {Fault::Denied, SerialError::PermissionDenied}};

void inject(WindowFixture& w, Fault fault, int port)
{
    switch (fault) {
    case Fault::Unplugged:
        w.serial.vanish();
        break;
    case Fault::GoneUnderWrite:
        w.serial.writeVanishes = true;
        break;
    default:
        w.serial.failingPorts[port] = kNumber.value(fault);
    }
}

QList<QPushButton*> senders(Form1& f)
{
    QList<QPushButton*> buttons{f.Keyall, f.Command1, f.Upcomm, f.Rstcomm};
    for (QPushButton* key : f.Key0)
        buttons << key;
    return buttons;
}
}  // namespace

Q_DECLARE_METATYPE(Fault)

class TestFaults : public QObject {
    Q_OBJECT
private slots:
    void matrix_data()
    {
        QTest::addColumn<QString>("handler");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("boxes");
        QTest::addColumn<QString>("caption");  // Comopen afterwards
        QTest::addColumn<bool>("lampRed");     // Shape1 afterwards

        for (Fault fault : {Fault::Missing, Fault::Busy, Fault::Denied}) {
            const QString name = kReason.value(fault);
            QTest::addRow("start-up, %s", qPrintable(name)) << "start-up" << fault << 2 << "关闭串口" << false;
            QTest::addRow("port list, %s", qPrintable(name)) << "port list" << fault << 1 << "关闭串口" << true;
            // Picked after the port button closed the port: neither indicator is written.
            QTest::addRow("port list while closed, %s", qPrintable(name))
                << "port list while closed" << fault << 1 << "打开串口" << true;
            QTest::addRow("port button, %s", qPrintable(name)) << "port button" << fault << 1 << "打开串口" << true;
        }
        QTest::newRow("port list, unplugged") << "port list" << Fault::Unplugged << 0 << "关闭串口" << false;
        QTest::newRow("port button, unplugged") << "port button" << Fault::Unplugged << 0 << "关闭串口" << false;
        QTest::newRow("tick, unplugged") << "tick" << Fault::Unplugged << 1 << "关闭串口" << false;
        QTest::newRow("tick, gone under the write") << "tick" << Fault::GoneUnderWrite << 1 << "关闭串口" << false;
        QTest::newRow("receive, unplugged") << "receive" << Fault::Unplugged << 1 << "打开串口" << true;
        QTest::newRow("shut-down, unplugged") << "shut-down" << Fault::Unplugged << 0 << "关闭串口" << false;
    }
    void matrix()
    {
        QFETCH(QString, handler);
        QFETCH(Fault, fault);
        WindowFixture w;
        Form1& f = *w.form;

        if (handler == "start-up") {
            inject(w, fault, 1);
            f.startUp();
        } else {
            w.startWith("1");
            if (handler == "port list while closed")
                QTest::mouseClick(f.Comopen, Qt::LeftButton);
            if (handler.startsWith("port list")) {
                inject(w, fault, 2);
                f.Com->setFocus();
                QTest::keyClick(f.Com, Qt::Key_Down);  // picks COM2
            } else if (handler == "port button") {
                if (fault != Fault::Unplugged)
                    QTest::mouseClick(f.Comopen, Qt::LeftButton);  // closed by the operator first
                inject(w, fault, 1);
                QTest::mouseClick(f.Comopen, Qt::LeftButton);
            } else if (handler == "tick") {
                inject(w, fault, 1);
                f.Timer1_Timer();
                QVERIFY(!f.Timer1->isActive());  // no later tick tells it again
            } else if (handler == "receive") {
                inject(w, fault, 1);
                w.serial.deliverEach(QByteArray::fromHex("73757064"));
            } else if (handler == "shut-down") {
                inject(w, fault, 1);
                f.show();
                QVERIFY(f.close());
                QCOMPARE(w.platform.settings.value("Com/PORT"), QString("1"));
            }
        }

        QTEST(int(w.platform.messages.size()), "boxes");
        for (const QString& message : w.platform.messages) {
            if (!message.startsWith("error NO: "))
                continue;
            QVERIFY2(message.contains(QRegularExpression("COM\\d \\(fake\\)")), qPrintable(message));
            if (kReason.contains(fault))
                QVERIFY2(message.contains(kReason.value(fault)), qPrintable(message));
        }
        QTEST(f.Comopen->text(), "caption");
        QFETCH(bool, lampRed);
        QCOMPARE(f.Shape1->fillColor(), lampRed ? kRed : kGreen);

        // The device is back: the port opens again.
        w.serial.failingPorts.clear();
        w.serial.writeVanishes = false;
        if (!w.serial.PortOpen())
            QTest::mouseClick(f.Comopen, Qt::LeftButton);
        QVERIFY(w.serial.PortOpen());
    }

    // Every sender meets a port that vanished before the click, and one that
    // goes under the write: one box each, and the echo is kept.
    void commandButtons()
    {
        for (Fault fault : {Fault::Unplugged, Fault::GoneUnderWrite}) {
            WindowFixture w;
            w.startWith("1");
            Form1& f = *w.form;
            for (QPushButton* button : senders(f)) {
                if (!w.serial.PortOpen())
                    w.serial.setPortOpen(true);
                f.Senddis->setText("kept");
                w.platform.messages.clear();
                inject(w, fault, 1);
                QTest::mouseClick(button, Qt::LeftButton);
                QCOMPARE(w.platform.messages.size(), 1);
                QCOMPARE(f.Senddis->text(), QString("kept"));
                QVERIFY(!w.serial.PortOpen());
                if (fault == Fault::GoneUnderWrite)
                    QVERIFY(w.platform.messages.first().startsWith("error NO: 8018--MSComm1: "));
                else
                    QCOMPARE(w.platform.messages.first(), QString("串口未打开，请检查串口"));
            }
            QCOMPARE(f.Shape1->fillColor(), kGreen);  // no sender writes the indicators
            QCOMPARE(f.Comopen->text(), QString("关闭串口"));
        }
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
