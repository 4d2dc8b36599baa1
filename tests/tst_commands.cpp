// The command buttons: bytes on the wire, the echo, the closed port and a
// port that fails under the write.
#include "window_fixture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {
QPushButton* buttonNamed(Form1& f, const QString& name)
{
    if (name.startsWith("Key0("))
        return f.Key0[name.mid(5, name.size() - 6).toInt()];
    const QMap<QString, QPushButton*> buttons{
        {"Keyall", f.Keyall}, {"Command1", f.Command1}, {"Upcomm", f.Upcomm}, {"Rstcomm", f.Rstcomm}};
    return buttons.value(name);
}
}  // namespace

class TestCommands : public QObject {
    Q_OBJECT
private slots:
    void senders_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("echoed");
        const char* hex[12] = {"73303070", "73303170", "73303270", "73303370", "73303470", "73303570",
                               "73303670", "73303770", "73303870", "73303970", "73303a70", "73303b70"};
        for (int i = 0; i < 12; ++i) {
            const QString name = QStringLiteral("Key0(%1)").arg(i);
            QTest::newRow(qPrintable(name)) << name << QByteArray::fromHex(hex[i]) << true;
        }
        QTest::newRow("all on") << "Keyall" << QByteArray::fromHex("73306170") << true;
        QTest::newRow("all off") << "Command1" << QByteArray::fromHex("73306270") << true;
        QTest::newRow("upgrade") << "Upcomm" << QByteArray::fromHex("73753070") << true;
        QTest::newRow("reset") << "Rstcomm" << QByteArray::fromHex("62") << false;
    }
    void senders()
    {
        QFETCH(QString, button);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, echoed);

        // Port open: the bytes go out exactly, twice for two clicks.
        WindowFixture w;
        w.startWith("1");
        w.form->Senddis->setText("before");
        QTest::mouseClick(buttonNamed(*w.form, button), Qt::LeftButton);
        QTest::mouseClick(buttonNamed(*w.form, button), Qt::LeftButton);
        QCOMPARE(w.serial.written, bytes + bytes);
        QCOMPARE(w.form->Senddis->text(), echoed ? QString::fromLatin1(bytes) : QString("before"));
        QVERIFY(w.platform.messages.isEmpty());

        // Port closed: the message, nothing written, the echo kept.
        QTest::mouseClick(w.form->Comopen, Qt::LeftButton);
        w.serial.written.clear();
        w.form->Senddis->setText("kept");
        QTest::mouseClick(buttonNamed(*w.form, button), Qt::LeftButton);
        QCOMPARE(w.platform.messages, QStringList({"串口未打开，请检查串口"}));
        QVERIFY(w.serial.written.isEmpty());
        QCOMPARE(w.form->Senddis->text(), QString("kept"));
    }

    void channelButtonsIgnoreTheDisplayedState()
    {
        WindowFixture w;
        w.startWith("1");
        w.serial.deliverEach(QByteArray::fromHex("00ff0f74"));
        QCOMPARE(w.form->Key0[3]->text(), QString("关"));
        QTest::mouseClick(w.form->Key0[3], Qt::LeftButton);
        QCOMPARE(w.serial.written, QByteArray("s03p"));
        // No repaint until the controller answers.
        QCOMPARE(w.form->Key0[3]->text(), QString("关"));
    }

    void thePortIsAskedOnEveryClick()
    {
        WindowFixture w;
        w.startWith("1");
        w.serial.vanish();  // closes behind the panel's back
        const int reads = w.serial.portOpenReads;
        QTest::mouseClick(w.form->Keyall, Qt::LeftButton);
        QCOMPARE(w.serial.portOpenReads, reads + 1);
        QCOMPARE(w.platform.messages, QStringList({"串口未打开，请检查串口"}));
        w.serial.setPortOpen(true);
        QTest::mouseClick(w.form->Keyall, Qt::LeftButton);
        QCOMPARE(w.serial.written, QByteArray("s0ap"));
    }

    void aWriteThatFailsIsToldOnce()
    {
        WindowFixture w;
        w.startWith("1");
        w.serial.writeVanishes = true;
        QTest::mouseClick(w.form->Key0[0], Qt::LeftButton);
        QCOMPARE(w.platform.messages.size(), 1);
        QVERIFY(w.platform.messages.first().startsWith("error NO: 8018--MSComm1: "));
        QVERIFY(w.form->Senddis->text().isEmpty());
        // The next tick stops polling without a second box for the same fault ...
        w.form->Timer1_Timer();
        QVERIFY(!w.form->Timer1->isActive());
        QCOMPARE(w.platform.messages.size(), 1);
        // ... and a later click on the closed port is told as usual.
        QTest::mouseClick(w.form->Key0[0], Qt::LeftButton);
        QCOMPARE(w.platform.messages.last(), QString("串口未打开，请检查串口"));
    }
};

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
