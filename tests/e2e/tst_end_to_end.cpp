// The whole panel on the host serial component against the controller
// simulator on a real pseudo-terminal.
#include "fake_device_listing.h"
#include "form1.h"
#include "host_serial.h"
#include "lamp.h"
#include "sim_process.h"
#include "test_platform.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <memory>

namespace {
const QColor kRed(255, 0, 0);
const QColor kGreen(0, 255, 0);
constexpr int kWait = 20000;  // generous: a slow poll is 5 s

// A panel started up on COM1 = the simulator's device.
struct Panel {
    HostSerial serial;
    TestPlatform platform;
    std::unique_ptr<Form1> form;

    explicit Panel(const QString& device)
    {
        qputenv("TAVRIN_COM1", device.toLocal8Bit());
        platform.realYield = true;
        form = std::make_unique<Form1>(serial, platform);
        form->startUp();
    }
    bool lampsShow(unsigned word) const
    {
        for (int k = 0; k < 12; ++k)
            if (form->Lamp0[k]->fillColor() != ((word >> k) & 1 ? kRed : kGreen))
                return false;
        return true;
    }
};
}  // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void pollRepaintsAndSlowsDown()
    {
        SimProcess sim({"--word", "0x305"});
        QVERIFY(!sim.device().isEmpty());
        Panel panel(sim.device());
        QVERIFY(panel.platform.messages.isEmpty());
        QVERIFY(panel.serial.PortOpen());

        // The device is at 9600 baud, 8 data bits, no parity, one stop bit.
        const int fd = ::open(sim.device().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        termios tio{};
        QCOMPARE(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
        QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));

        QTRY_VERIFY_WITH_TIMEOUT(sim.commands().contains("s00t"), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(panel.lampsShow(0x305), kWait);
        QCOMPARE(panel.form->Key0[8]->text(), QString("关"));
        QCOMPARE(panel.form->Rxdis->text(), QString("0 5 3 74 "));
        QTRY_COMPARE_WITH_TIMEOUT(panel.form->Timer1->interval(), 5000, kWait);
        QCOMPARE(panel.form->Senddis->text(), QString("s00t"));
    }

    // One adapter and nothing configured: the first run gives the adapter a
    // COM number, reaches the board on it, and the list says which device it is.
    void firstRunFindsTheAdapter()
    {
        qunsetenv("TAVRIN_COM1");
        SimProcess sim({"--word", "0x0a0"});
        QVERIFY(!sim.device().isEmpty());
        QTemporaryDir dir;
        const QString byId = dir.filePath("usb-Orvessa_USB_adapter_OV-0042-if00-port0");
        QVERIFY(QFile::link(sim.device(), byId));
        auto listing = std::make_unique<FakeDeviceListing>();
        listing->devices = {{sim.device(), "Orvessa USB adapter", "OV-0042", byId, {}}};
        const QString settingsFile = dir.filePath("TavrinV1.3prj.conf");
        HostSerial serial(std::make_unique<QSettings>(settingsFile, QSettings::IniFormat), std::move(listing));
        TestPlatform platform;
        platform.realYield = true;
        Form1 form(serial, platform);
        form.startUp();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        QTRY_VERIFY_WITH_TIMEOUT(sim.commands().contains("s00t"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(form.Lamp0[5]->fillColor(), kRed, kWait);
        QCOMPARE(form.Com->currentText(), QString("COM1"));
        const QString shown = "COM1: Orvessa USB adapter, serial OV-0042 (" + sim.device() + ")";
        QTRY_COMPARE_WITH_TIMEOUT(form.Com->itemData(0, Qt::ToolTipRole).toString(), shown, kWait);
        QCOMPARE(form.Com->accessibleDescription(), shown);
        QCOMPARE(QSettings(settingsFile, QSettings::IniFormat).value("Ports/COM1").toString(), byId);
        QCOMPARE(platform.messages, QStringList());
    }

    void clicksSwitchTheOutlets()
    {
        SimProcess sim({});
        Panel panel(sim.device());
        QTRY_COMPARE_WITH_TIMEOUT(panel.form->Timer1->interval(), 5000, kWait);
        QVERIFY(panel.lampsShow(0));

        QTest::mouseClick(panel.form->Key0[10], Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(sim.commands().contains("s0:p"), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(panel.lampsShow(1u << 10), kWait);

        QTest::mouseClick(panel.form->Keyall, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(panel.lampsShow(0xfff), kWait);
        QTest::mouseClick(panel.form->Command1, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(panel.lampsShow(0), kWait);
        QVERIFY(panel.platform.messages.isEmpty());
    }

    void upgradeReleasesThePort()
    {
        SimProcess sim({});
        Panel panel(sim.device());
        QTest::mouseClick(panel.form->Upcomm, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!panel.serial.PortOpen(), kWait);
        QCOMPARE(panel.platform.messages.value(0),
                 QString("控制器软件升级准备就绪！请关闭串口，打开AVR下载软件进行下载。"));
        QCOMPARE(panel.form->Comopen->text(), QString("打开串口"));
        QCOMPARE(panel.form->Shape1->fillColor(), kRed);
        QVERIFY(panel.form->Rxdis->text().endsWith("75 70 64 "));
    }

    void silentControllerRaisesTheLinkFault()
    {
        SimProcess sim({"--silent"});
        Panel panel(sim.device());
        QTRY_VERIFY_WITH_TIMEOUT(panel.platform.messages.contains("串口通讯不正常，请检查串口"), kWait);
        QCOMPARE(panel.form->Ticks(), 30);
        QCOMPARE(panel.platform.messages.size(), 1);
        QVERIFY(panel.form->Timer1->isActive());
    }

    void controllerGoneClosesThePortAndIsToldOnce()
    {
        auto sim = std::make_unique<SimProcess>(QStringList{});
        Panel panel(sim->device());
        QTRY_COMPARE_WITH_TIMEOUT(panel.form->Timer1->interval(), 5000, kWait);
        sim.reset();  // the other end of the line goes away
        QTRY_VERIFY_WITH_TIMEOUT(!panel.serial.PortOpen(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!panel.form->Timer1->isActive(), kWait);
        QCOMPARE(panel.platform.messages, QStringList({"串口未打开，请检查串口"}));
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_end_to_end.moc"
