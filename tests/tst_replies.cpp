// What the operator sees when the controller answers: the trace, the lamps
// and captions, and the upgrade-ready reply.
#include "operation_error.h"
#include "window_fixture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

class TestReplies : public QObject {
    Q_OBJECT
private slots:
    void statusRepaintsTheChannels_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("setBits");  // which of the twelve channels show "set"
        QTest::addColumn<QString>("trace");
        QTest::newRow("0") << QByteArray::fromHex("00000074") << 0 << "0 0 0 74 ";
        QTest::newRow("4095") << QByteArray::fromHex("00ff0f74") << 4095 << "0 FF F 74 ";
        QTest::newRow("61440: high bits only") << QByteArray::fromHex("0000f074") << 0 << "0 0 F0 74 ";
        QTest::newRow("773") << QByteArray::fromHex("00050374") << 773 << "0 5 3 74 ";
        QTest::newRow("28789") << QByteArray::fromHex("00757074") << 0x075 << "0 75 70 74 ";
    }
    void statusRepaintsTheChannels()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, setBits);
        WindowFixture w;
        w.startWith("1");
        // Twice: the same word leaves the same picture.
        for (int round = 0; round < 2; ++round) {
            w.serial.deliverEach(reply);
            for (int k = 0; k < 12; ++k) {
                const bool set = setBits & (1 << k);
                QCOMPARE(w.form->Lamp0[k]->fillColor(), set ? kRed : kGreen);
                QCOMPARE(w.form->Key0[k]->text(), set ? QString("关") : QString("开"));
                QCOMPARE(w.form->Keystate(k), std::int16_t(set ? -1 : 0));
                QCOMPARE(w.form->Lamp0[12 + k]->fillColor(), kGreen);
            }
        }
        QTEST(w.form->Rxdis->text(), "trace");
        QCOMPARE(w.form->replies().Rxhex(), QString());
    }

    void framingAsTheOperatorSeesIt_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("key0Caption");
        QTest::newRow("stray byte then two replies")
            << QByteArray::fromHex("410005037400050374") << "41 0 5 3 74 0 5 3 74 "
            << "关";
        QTest::newRow("byte 0 not zero") << QByteArray::fromHex("01050374") << ""
                                         << "开";
        QTest::newRow("reply split by noise") << QByteArray::fromHex("00054103740005") << ""
                                              << "开";
        QTest::newRow("unrecognised group keeps the earlier word")
            << QByteArray::fromHex("0005037401050374") << "0 5 3 74 "
            << "关";
    }
    void framingAsTheOperatorSeesIt()
    {
        QFETCH(QByteArray, bytes);
        WindowFixture w;
        w.startWith("1");
        w.serial.deliverEach(bytes);
        QTEST(w.form->Rxdis->text(), "shown");
        QTEST(w.form->Key0[0]->text(), "key0Caption");
    }

    void multiByteReadAndOtherEvents()
    {
        WindowFixture w;
        w.startWith("1");
        w.serial.deliverRead(QByteArray::fromHex("000503"));  // only 03 is filed
        w.serial.deliverEach(QByteArray::fromHex("0574"));
        w.serial.deliverOther();
        QCOMPARE(w.form->replies().Rxhex(), QString("3 5 74 "));
        QCOMPARE(w.form->replies().Rxpos(), 3);
        w.serial.deliverRead({});  // an empty read changes nothing
        QCOMPARE(w.form->replies().Rxpos(), 3);
        w.serial.deliverEach(QByteArray::fromHex("00"));
        w.serial.deliverOther();  // Rxpos 4: the test runs again on unchanged slots
        QCOMPARE(w.form->replies().Rxpos(), 4);
        QCOMPARE(w.form->replies().Rxhex(), QString("3 5 74 0 "));
        w.serial.deliverEach(QByteArray::fromHex("41"));
        QCOMPARE(w.form->replies().Rxpos(), 5);
        w.serial.deliverOther();  // Rxpos 5: back to slot 0, nothing traced
        QCOMPARE(w.form->replies().Rxpos(), 0);
        QCOMPARE(w.form->replies().Rxhex(), QString("3 5 74 0 41 "));
        // So the next reply lands in slots 0 to 3 and is recognised.
        w.serial.deliverEach(QByteArray::fromHex("00050374"));
        QCOMPARE(w.form->Rxdis->text(), QString("3 5 74 0 41 0 5 3 74 "));
        QCOMPARE(w.form->Key0[0]->text(), QString("关"));
    }

    void upgradeReadyClosesThePortBeforeTheBox()
    {
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        bool checkedInsideBox = false;
        w.platform.whileBoxShown = [&](const QString&) {
            checkedInsideBox = true;
            QCOMPARE(w.serial.openPort(), 0);
            QCOMPARE(f.Comopen->text(), QString("打开串口"));
            QCOMPARE(f.Shape1->fillColor(), kRed);
            QVERIFY(f.Rxdis->text().isEmpty());
        };
        w.serial.deliverEach(QByteArray::fromHex("73757064"));
        QVERIFY(checkedInsideBox);
        QCOMPARE(w.platform.messages, QStringList({"控制器软件升级准备就绪！请关闭串口，打开AVR下载软件进行下载。"}));
        QCOMPARE(f.Rxdis->text(), QString("73 75 70 64 "));
        QCOMPARE(f.replies().Rxframe(3), std::uint8_t('d'));

        // The next tick stops polling; reopening with the button keeps it stopped.
        w.platform.whileBoxShown = nullptr;
        f.Timer1_Timer();
        QCOMPARE(w.platform.messages.last(), QString("串口未打开，请检查串口"));
        QTest::mouseClick(f.Comopen, Qt::LeftButton);
        QCOMPARE(w.serial.openPort(), 1);
        QCOMPARE(f.Comopen->text(), QString("关闭串口"));
        QCOMPARE(f.Shape1->fillColor(), kGreen);
        QVERIFY(!f.Timer1->isActive());
    }

    void stateDisFlipsOneChannel()
    {
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        const auto picture = [&f] {
            QStringList looks;
            for (int k = 0; k < 12; ++k)
                looks << f.Lamp0[k]->fillColor().name() + f.Key0[k]->text() + QString::number(f.Keystate(k));
            return looks;
        };
        w.serial.deliverEach(QByteArray::fromHex("00050374"));  // channels 0, 2, 8 and 9 set
        const QStringList before = picture();
        f.state_dis(3);
        QCOMPARE(f.Lamp0[3]->fillColor(), kRed);
        QCOMPARE(f.Key0[3]->text(), QString("关"));
        QCOMPARE(f.Keystate(3), std::int16_t(-1));
        f.state_dis(0);  // set by the reply: flips back
        QCOMPARE(f.Lamp0[0]->fillColor(), kGreen);
        QCOMPARE(f.Key0[0]->text(), QString("开"));
        QCOMPARE(f.Keystate(0), std::int16_t(0));
        f.state_dis(0);
        f.state_dis(3);
        QCOMPARE(picture(), before);  // the other channels were never touched
        for (std::int16_t bad : {std::int16_t(12), std::int16_t(-1), std::int16_t(32767)})
            QVERIFY_THROWS_EXCEPTION(OperationError, f.state_dis(bad));
        QCOMPARE(picture(), before);
    }
};

QTEST_MAIN(TestReplies)
#include "tst_replies.moc"
