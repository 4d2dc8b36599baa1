// The port list tells which device each entry is: tooltips, the accessible
// description, and when the devices are looked at again.
#include "operation_error.h"
#include "window_fixture.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QTimer>
#include <QtTest>

namespace {

const QStringList kDevices{"COM1: on-board serial port (/dev/ttyS0)",
                           "COM2: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)", "COM3: no device (/dev/ttyS2)",
                           "COM4: no device (/dev/ttyS3)"};

void giveDevices(FakeSerial& serial)
{
    for (int port = 1; port <= 4; ++port)
        serial.descriptions[port] = kDevices.at(port - 1);
}

QStringList tooltips(const QComboBox& list)
{
    QStringList texts;
    for (int entry = 0; entry < list.count(); ++entry)
        texts << list.itemData(entry, Qt::ToolTipRole).toString();
    return texts;
}

// Shows the window and lets the refresh that follows its first paint run;
// then stops the poll timer, whose ticks would write to the port meanwhile.
void showAndSettle(Form1& form, FakeSerial& serial)
{
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTRY_COMPARE(serial.refreshes, 1);
    form.Timer1->stop();
    serial.log.clear();
    serial.written.clear();
}

void dropDown(QComboBox& list)
{
    list.showPopup();
    QCoreApplication::processEvents();
    list.hidePopup();
}

}  // namespace

class TestPortListDevices : public QObject {
    Q_OBJECT
private slots:
    void everyEntryCarriesItsDevice()
    {
        WindowFixture w;
        giveDevices(w.serial);
        w.startWith("2");
        Form1& f = *w.form;
        // Start-up itself never looks at the devices: the window paints first.
        QCOMPARE(w.serial.refreshes, 0);
        QCOMPARE(tooltips(*f.Com), QStringList({"", "", "", ""}));
        showAndSettle(f, w.serial);

        QCOMPARE(w.serial.refreshes, 1);
        QCOMPARE(tooltips(*f.Com), kDevices);
        QCOMPARE(f.Com->accessibleDescription(), QString("COM2: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)"));
        // What the entries say stays as it is; the list is named by its entry.
        QCOMPARE(f.Com->itemText(0), QString("COM1"));
        QCOMPARE(f.Com->itemText(3), QString("COM4"));
        QCOMPARE(f.Com->accessibleName(), QString("COM2"));

        // The description follows the entry shown.
        f.Com->setFocus();
        QTest::keyClick(f.Com, Qt::Key_Down);
        QCOMPARE(w.serial.openPort(), 3);
        QCOMPARE(f.Com->accessibleDescription(), QString("COM3: no device (/dev/ttyS2)"));
        QCOMPARE(f.Com->accessibleName(), QString("COM3"));
        QCOMPARE(w.serial.refreshes, 1);
    }

    // Adapters come and go: each drop-down of the list looks again.
    void droppingDownShowsTheDevicesOfNow_data()
    {
        QTest::addColumn<int>("dropDowns");
        QTest::addColumn<QString>("com3");
        QTest::newRow("not dropped down") << 0 << "COM3: no device (/dev/ttyS2)";
        QTest::newRow("dropped down") << 1 << "COM3: CP2102 USB to UART Bridge Controller, serial 0001 (/dev/ttyUSB1)";
        QTest::newRow("dropped down twice")
            << 2 << "COM3: CP2102 USB to UART Bridge Controller, serial 0001 (/dev/ttyUSB1)";
    }
    void droppingDownShowsTheDevicesOfNow()
    {
        QFETCH(int, dropDowns);
        WindowFixture w;
        giveDevices(w.serial);
        w.startWith("3");
        Form1& f = *w.form;
        showAndSettle(f, w.serial);
        // An adapter is plugged in.
        w.serial.onRefresh = [&] {
            w.serial.descriptions[3] = "COM3: CP2102 USB to UART Bridge Controller, serial 0001 (/dev/ttyUSB1)";
        };
        for (int i = 0; i < dropDowns; ++i)
            dropDown(*f.Com);
        QCOMPARE(w.serial.refreshes, 1 + dropDowns);
        QTEST(f.Com->itemData(2, Qt::ToolTipRole).toString(), "com3");
        QTEST(f.Com->accessibleDescription(), "com3");
        QCOMPARE(w.serial.log, QStringList());  // looking at the devices touches no port
    }

    // A drop-down inside the yields of a port switch: the devices are looked
    // at once the switch has opened its port, not between closing and opening.
    void noRefreshWhileAPortIsOpened_data()
    {
        QTest::addColumn<int>("dropAtYield");
        QTest::newRow("after closing") << 1;
        QTest::newRow("after reopening") << 3;
    }
    void noRefreshWhileAPortIsOpened()
    {
        QFETCH(int, dropAtYield);
        WindowFixture w;
        giveDevices(w.serial);
        w.startWith("1");
        Form1& f = *w.form;
        showAndSettle(f, w.serial);
        w.serial.onRefresh = [&] { w.serial.log << "Refresh"; };
        int yields = 0;
        w.platform.onYield = [&] {
            if (++yields == dropAtYield)
                dropDown(*f.Com);
        };
        f.setListIndex(2);
        QCOMPARE(w.serial.log, QStringList({"Close", "CommPort=3", "RThreshold=1", "Open"}));
        QCoreApplication::processEvents();
        QCOMPARE(w.serial.log, QStringList({"Close", "CommPort=3", "RThreshold=1", "Open", "Refresh"}));
        QCOMPARE(f.Com->accessibleDescription(), QString("COM3: no device (/dev/ttyS2)"));
    }

    void aFailedRefreshIsReportedAndTheDevicesStillShown()
    {
        WindowFixture w;
        giveDevices(w.serial);
        w.serial.onRefresh = [] {
            throw OperationError(75, "TavrinV1.3prj: ",
                                 "the COM numbers given to new serial devices could not be saved in /x.conf; they hold "
                                 "until the program ends");
        };
        w.startWith("1");
        showAndSettle(*w.form, w.serial);
        QCOMPARE(w.platform.messages,
                 QStringList({"error NO: 75--TavrinV1.3prj: the COM numbers given to new serial devices could not be "
                              "saved in /x.conf; they hold until the program ends"}));
        QCOMPARE(tooltips(*w.form->Com), kDevices);
    }
};

QTEST_MAIN(TestPortListDevices)
#include "tst_port_list_devices.moc"
