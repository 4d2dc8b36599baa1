// The window as the operator meets it: layout, fonts, focus order and the
// controls that must do nothing.
#include "window_fixture.h"

#include "frame.h"
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void designValuesAtCreation()
    {
        WindowFixture w;
        Form1& f = *w.form;
        QCOMPARE(f.logicalDpiX(), 96);
        QCOMPARE(f.size(), QSize(578, 345));
        QCOMPARE(f.minimumSize(), f.maximumSize());
        QCOMPARE(f.palette().color(QPalette::Window), QColor(128, 128, 255));
        for (Lamp* lamp : f.Lamp0)
            QCOMPARE(lamp->fillColor(), kGreen);
        QCOMPARE(f.Shape1->fillColor(), kGreen);
        QCOMPARE(f.Comopen->text(), QString("关闭串口"));
        QCOMPARE(f.Key0[11]->text(), QString("PB11"));
        QCOMPARE(f.Key1[9]->text(), QString("PB19"));
        QCOMPARE(f.Keyall->text(), QString("全开"));
        QCOMPARE(f.Command1->text(), QString("全关"));
        QCOMPARE(f.Rstcomm->text(), QString("前台复位"));
        QCOMPARE(f.Upcomm->text(), QString("软件升级"));
        QCOMPARE(f.Label1->text(), QString("串口状态"));
        QCOMPARE(f.Frame1->title(), QString("串口设置"));
        QCOMPARE(f.Frame2->title(), QString("PC指令"));
        QCOMPARE(f.Frame3->title(), QString("返回结果"));
        QCOMPARE(f.Com->currentText(), QString("Com"));
        QCOMPARE(f.Com->count(), 0);
        QVERIFY(f.Timer1->isActive());
        QCOMPARE(f.Timer1->interval(), 200);
        QVERIFY(!w.serial.PortOpen());
    }

    void geometryInPixelsAt96Dpi_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QRect>("rect");
        // Twips divided by 15.
        QTest::newRow("Lamp0(0)") << "Lamp0(0)" << QRect(16, 32, 17, 17);
        QTest::newRow("Key0(11)") << "Key0(11)" << QRect(536, 56, 33, 33);
        QTest::newRow("Lamp0(23)") << "Lamp0(23)" << QRect(544, 128, 17, 17);
        QTest::newRow("Key1(0)") << "Key1(0)" << QRect(8, 152, 33, 33);
        QTest::newRow("Com") << "Com" << QRect(280, 248, 57, 22);
        QTest::newRow("Frame1") << "Frame1" << QRect(264, 224, 89, 65);
        QTest::newRow("Shape1") << "Shape1" << QRect(400, 248, 17, 17);
        QTest::newRow("Comopen") << "Comopen" << QRect(376, 280, 65, 33);
        QTest::newRow("Upcomm") << "Upcomm" << QRect(144, 296, 81, 33);
        QTest::newRow("Rstcomm") << "Rstcomm" << QRect(48, 296, 81, 33);
        QTest::newRow("Keyall") << "Keyall" << QRect(480, 216, 73, 25);
        QTest::newRow("Command1") << "Command1" << QRect(480, 272, 73, 25);
        QTest::newRow("Label1") << "Label1" << QRect(376, 216, 65, 17);
        QTest::newRow("Frame2") << "Frame2" << QRect(16, 224, 97, 65);
        QTest::newRow("Frame3") << "Frame3" << QRect(136, 224, 105, 65);
        QTest::newRow("Senddis") << "Senddis" << QRect(24, 248, 81, 27);
        QTest::newRow("Rxdis") << "Rxdis" << QRect(144, 248, 89, 25);
    }
    void geometryInPixelsAt96Dpi()
    {
        QFETCH(QString, control);
        WindowFixture w;
        Form1& f = *w.form;
        const QMap<QString, QWidget*> controls{
            {"Lamp0(0)", f.Lamp0[0]}, {"Key0(11)", f.Key0[11]}, {"Lamp0(23)", f.Lamp0[23]}, {"Key1(0)", f.Key1[0]},
            {"Com", f.Com},           {"Frame1", f.Frame1},     {"Shape1", f.Shape1},       {"Comopen", f.Comopen},
            {"Upcomm", f.Upcomm},     {"Rstcomm", f.Rstcomm},   {"Keyall", f.Keyall},       {"Command1", f.Command1},
            {"Label1", f.Label1},     {"Frame2", f.Frame2},     {"Frame3", f.Frame3},       {"Senddis", f.Senddis},
            {"Rxdis", f.Rxdis}};
        QTEST(controls.value(control)->geometry(), "rect");
    }

    void framesLieBehindTheirControl()
    {
        WindowFixture w;
        Form1& f = *w.form;
        const QList<QPair<Frame*, QWidget*>> pairs{{f.Frame1, f.Com}, {f.Frame2, f.Senddis}, {f.Frame3, f.Rxdis}};
        const QObjectList order = f.children();
        for (const auto& [frame, held] : pairs) {
            QVERIFY(frame->geometry().contains(held->geometry()));
            QVERIFY(order.indexOf(frame) < order.indexOf(held));
        }
    }

    void fontsRenderChinese()
    {
        WindowFixture w;
        Form1& f = *w.form;
        QCOMPARE(f.Keyall->font().families().value(0), QString("宋体"));
        QCOMPARE(f.Keyall->font().pointSizeF(), 12.0);
        QCOMPARE(f.Senddis->font().pointSizeF(), 14.25);
        QCOMPARE(f.Frame2->font().pointSizeF(), 10.5);
        const QStringList installed = QFontDatabase::families();
        for (QWidget* widget : QList<QWidget*>{f.Keyall, f.Label1, f.Key0[0], f.Comopen}) {
            bool chineseFound = false;
            for (const QString& family : widget->font().families())
                chineseFound =
                    chineseFound || (installed.contains(family) &&
                                     QFontDatabase::writingSystems(family).contains(QFontDatabase::SimplifiedChinese));
            QVERIFY2(chineseFound, qPrintable(widget->font().families().join(", ")));
        }
    }

    void tabOrderFollowsTheDesign()
    {
        WindowFixture w;
        Form1& f = *w.form;
        QList<QWidget*> expected;
        for (int i = 0; i < 6; ++i)
            expected << f.Key0[i];
        expected << f.Keyall << f.Upcomm << f.Rstcomm;
        for (int i = 6; i < 12; ++i)
            expected << f.Key0[i];
        for (int i = 0; i < 8; ++i)
            expected << f.Key1[i];
        expected << f.Com << f.Senddis << f.Rxdis << f.Comopen << f.Command1;
        for (int i = 8; i < 12; ++i)
            expected << f.Key1[i];

        // Walk the focus chain as Tab does; the combo box's text field hands its
        // focus to the combo box, which then stands twice in a row.
        QList<QWidget*> chain;
        QWidget* widget = f.Key0[0];
        do {
            QWidget* target = widget->focusProxy() ? widget->focusProxy() : widget;
            if ((widget->focusPolicy() & Qt::TabFocus) && (chain.isEmpty() || chain.last() != target))
                chain << target;
            widget = widget->nextInFocusChain();
        } while (widget != f.Key0[0] && chain.size() < 100);
        QCOMPARE(chain, expected);
        QCOMPARE(f.Label1->focusPolicy(), Qt::NoFocus);
        QCOMPARE(f.Frame1->focusPolicy(), Qt::NoFocus);
    }

    // What a screen reader hears, read through each control's accessible
    // interface: the caption shown as the name, what the control is for as
    // the description, both following the window's changes.
    void assistiveTechnologyHearsCaptionsAndPurposes()
    {
        WindowFixture w;
        w.platform.settings["Outlets/4"] = "  router ";
        w.startWith("1");
        Form1& f = *w.form;
        struct Heard {
            QWidget* control;
            QString name;
            QString description;
        };
        const auto check = [](const QList<Heard>& expected, const char* when) {
            for (const Heard& e : expected) {
                QAccessibleInterface* heard = QAccessible::queryAccessibleInterface(e.control);
                QVERIFY2(heard, when);
                const QString context = QString("%1, %2").arg(when, e.name);
                QVERIFY2(heard->text(QAccessible::Name) == e.name,
                         qPrintable(context + " hears name " + heard->text(QAccessible::Name)));
                QVERIFY2(heard->text(QAccessible::Description) == e.description,
                         qPrintable(context + " hears description " + heard->text(QAccessible::Description)));
            }
        };
        check({{f.Key0[0], "开", "outlet 1"},
               {f.Key0[3], "开", "outlet 4 (router)"},
               {f.Key0[11], "开", "outlet 12"},
               {f.Key1[5], "开", "spare button, not in use"},
               {f.Lamp0[0], "outlet 1 lamp", "outlet 1; green: off"},
               {f.Lamp0[3], "outlet 4 lamp", "outlet 4 (router); green: off"},
               {f.Lamp0[12], "spare lamp 1", "green: not in use"},
               {f.Shape1, "port lamp", "green: the port-open colour"},
               {f.Keyall, "全开", "switches all outlets on"},
               {f.Command1, "全关", "switches all outlets off"},
               {f.Upcomm, "软件升级", "puts the controller into firmware upgrade mode"},
               {f.Rstcomm, "前台复位", "resets the controller"},
               {f.Comopen, "关闭串口", "opens or closes the serial port"},
               {f.Label1, "串口状态", "the port lamp below shows the port's colour"},
               {f.Frame1, "串口设置", "holds the serial port list"},
               {f.Frame2, "PC指令", "holds the last command sent"},
               {f.Frame3, "返回结果", "holds the bytes of the last reply"},
               {f.Senddis, "PC指令", "the last command sent to the controller"},
               {f.Rxdis, "返回结果", "the bytes of the last reply, in hexadecimal"},
               {f.Com, "COM1", f.Com->accessibleDescription()}},
              "after start-up");
        QVERIFY(!f.Com->accessibleDescription().isEmpty());
        QCOMPARE(f.Key0[3]->toolTip(), QString("outlet 4 (router)"));
        QCOMPARE(f.Lamp0[3]->toolTip(), QString("outlet 4 (router)"));
        QCOMPARE(QAccessible::queryAccessibleInterface(f.Lamp0[3])->role(), QAccessible::Indicator);

        w.serial.deliverEach(QByteArray::fromHex("00080074"));  // outlet 4 on
        check({{f.Key0[3], "关", "outlet 4 (router)"},
               {f.Lamp0[3], "outlet 4 lamp", "outlet 4 (router); red: on"},
               {f.Key0[2], "开", "outlet 3"},
               {f.Lamp0[2], "outlet 3 lamp", "outlet 3; green: off"}},
              "after a status reply");

        QTest::mouseClick(f.Comopen, Qt::LeftButton);
        check({{f.Comopen, "打开串口", "opens or closes the serial port"},
               {f.Shape1, "port lamp", "red: the port-closed colour"}},
              "after closing the port");

        // The port lamp tells its colour, not the port's state: a pick in the
        // list opens the port while the lamp stays red.
        f.Com->setFocus();
        QTest::keyClick(f.Com, Qt::Key_Down);
        QVERIFY(w.serial.PortOpen());
        check({{f.Com, "COM2", f.Com->accessibleDescription()},
               {f.Shape1, "port lamp", "red: the port-closed colour"},
               {f.Comopen, "关闭串口", "opens or closes the serial port"}},
              "after a pick in the port list");
    }

    // The port list's name is the entry it shows. On Linux Qt's combo box
    // reports the text in its field as its name; elsewhere it reports the
    // accessible name, which follows the selection and says when there is none.
    void portListIsNamedByItsShownEntry()
    {
        WindowFixture w;
        w.startWith("abc");  // not a number: the list stays without a selection
        Form1& f = *w.form;
        QCOMPARE(f.Com->currentIndex(), -1);
        QCOMPARE(f.Com->accessibleName(), QString("no port selected"));
        f.setListIndex(2);
        QCOMPARE(f.Com->accessibleName(), QString("COM3"));
        QCOMPARE(QAccessible::queryAccessibleInterface(f.Com)->text(QAccessible::Name), QString("COM3"));
    }

    void keyboardClicksTheFocusedButton()
    {
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        f.Keyall->setFocus();
        QTest::keyClick(f.Keyall, Qt::Key_Space);
        QTest::keyClick(f.Keyall, Qt::Key_Return);
        QCOMPARE(w.serial.written, QByteArray("s0aps0ap"));
        QTest::keyClick(&f, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), f.Upcomm);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(w.serial.written, QByteArray("s0aps0apsu0p"));
    }

    void inertControlsDoNothing()
    {
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        for (int i = 0; i < 12; ++i) {
            QTest::mouseClick(f.Key1[i], Qt::LeftButton);
            QTest::mouseClick(f.Lamp0[12 + i], Qt::LeftButton);
        }
        QTest::mouseClick(f.Shape1, Qt::LeftButton);
        QTest::mouseClick(f.Label1, Qt::LeftButton);
        QTest::mouseClick(f.Frame1, Qt::LeftButton, {}, QPoint(4, 4));
        QTest::keyClicks(f.Senddis, "typed");
        QTest::keyClick(f.Senddis, Qt::Key_Return);
        QVERIFY(w.serial.written.isEmpty());
        QVERIFY(w.platform.messages.isEmpty());
        QCOMPARE(f.Key1[0]->text(), QString("开"));
        for (int k = 0; k < 12; ++k) {
            QCOMPARE(f.Key0[k]->text(), QString("开"));
            QCOMPARE(f.Lamp0[k]->fillColor(), kGreen);
        }
        // What was typed into the echo is replaced by the next command sent.
        QTest::mouseClick(f.Keyall, Qt::LeftButton);
        QCOMPARE(f.Senddis->text(), QString("s0ap"));
    }

    void typingIntoThePortListNeverSwitchesThePort()
    {
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        f.Com->setFocus();
        f.Com->lineEdit()->selectAll();
        QTest::keyClicks(f.Com->lineEdit(), "COM3");
        QTest::keyClick(f.Com->lineEdit(), Qt::Key_Return);
        QCoreApplication::processEvents();
        f.Com->lineEdit()->setText("COM2");
        f.Com->lineEdit()->setModified(true);
        f.Senddis->setFocus();  // the text field loses the focus with text that names an entry
        QCoreApplication::processEvents();
        QVERIFY2(w.serial.log.isEmpty(), qPrintable(w.serial.log.join(' ')));
        QCOMPARE(f.ListIndex(), std::int16_t(0));
        QCOMPARE(f.Com->currentText(), QString("COM2"));
        QCOMPARE(w.serial.openPort(), 1);

        // A pick with the keyboard is an operator's pick.
        f.Com->setFocus();
        QTest::keyClick(f.Com, Qt::Key_Down);
        QCOMPARE(f.ListIndex(), std::int16_t(1));
        QCOMPARE(w.serial.openPort(), 2);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
