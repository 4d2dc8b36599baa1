// The port map: which device each COM number stands for, the automatic
// assignment of new adapters and how they are described.
#include "fake_device_listing.h"
#include "host_serial.h"
#include "operation_error.h"
#include "port_map.h"
#include "port_wording.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

const QString kIdA = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3-if00-port0";
const QString kIdB = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_B77Q1-if00-port0";

ListedDevice adapterA(const QString& location = "/dev/ttyUSB0")
{
    return usbAdapter(location, "FT232R USB UART", "A10K3", "1");
}
ListedDevice adapterB(const QString& location = "/dev/ttyUSB1")
{
    return usbAdapter(location, "FT232R USB UART", "B77Q1", "2");
}

// "COM1=/dev/..." for every key of the "Ports" group in the file.
QStringList portsGroupOf(const QString& file)
{
    QSettings stored(file, QSettings::IniFormat);
    stored.beginGroup("Ports");
    QStringList entries;
    for (const QString& key : stored.childKeys())
        entries << key + '=' + stored.value(key).toString();
    return entries;
}

void clearEnvironment()
{
    for (int n = 1; n <= 4; ++n)
        qunsetenv(qPrintable(QString("TAVRIN_COM%1").arg(n)));
}

}  // namespace

class TestPortMap : public QObject {
    Q_OBJECT
private slots:
    void init() { clearEnvironment(); }
    void cleanup() { clearEnvironment(); }

    void assignment_data()
    {
        QTest::addColumn<QList<ListedDevice>>("devices");  // as the system lists them
        QTest::addColumn<QStringList>("stored");           // the "Ports" group before
        QTest::addColumn<QStringList>("environment");      // "1=/dev/..." for TAVRIN_COM1
        QTest::addColumn<QStringList>("ports");            // the "Ports" group after
        QTest::addColumn<QStringList>("described");        // COM1 to COM4
        QTest::addColumn<QList<int>>("numbers");           // of the devices present, in order

        const QStringList none;
        QTest::newRow("first adapter, no on-board port")
            << QList<ListedDevice>{adapterA()} << none << none << QStringList{"COM1=" + kIdA}
            << QStringList{"COM1: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)", "COM2: no device (/dev/ttyS1)",
                           "COM3: no device (/dev/ttyS2)", "COM4: no device (/dev/ttyS3)"}
            << QList<int>{1};
        QTest::newRow("first adapter beside a real on-board port")
            << QList<ListedDevice>{adapterA(), onBoardPort(0)} << none << none << QStringList{"COM2=" + kIdA}
            << QStringList{"COM1: on-board serial port (/dev/ttyS0)",
                           "COM2: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)", "COM3: no device (/dev/ttyS2)",
                           "COM4: no device (/dev/ttyS3)"}
            << QList<int>{1, 2};
        QTest::newRow("second adapter") << QList<ListedDevice>{adapterA(), adapterB()} << QStringList{"COM1=" + kIdA}
                                        << none << QStringList{"COM1=" + kIdA, "COM2=" + kIdB}
                                        << QStringList{"COM1: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)",
                                                       "COM2: FT232R USB UART, serial B77Q1 (/dev/ttyUSB1)",
                                                       "COM3: no device (/dev/ttyS2)", "COM4: no device (/dev/ttyS3)"}
                                        << QList<int>{1, 2};
        QTest::newRow("replugged the other way round")
            << QList<ListedDevice>{adapterA("/dev/ttyUSB1"), adapterB("/dev/ttyUSB0")}
            << QStringList{"COM1=" + kIdA, "COM2=" + kIdB} << none << QStringList{"COM1=" + kIdA, "COM2=" + kIdB}
            << QStringList{"COM1: FT232R USB UART, serial A10K3 (/dev/ttyUSB1)",
                           "COM2: FT232R USB UART, serial B77Q1 (/dev/ttyUSB0)", "COM3: no device (/dev/ttyS2)",
                           "COM4: no device (/dev/ttyS3)"}
            << QList<int>{2, 1};
        QTest::newRow("two adapters without serial numbers")
            << QList<ListedDevice>{usbAdapter("/dev/ttyUSB0", "USB Serial", "", "1"),
                                   usbAdapter("/dev/ttyUSB1", "USB Serial", "", "3")}
            << none << none
            << QStringList{"COM1=/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0",
                           "COM2=/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0"}
            << QStringList{"COM1: USB Serial (/dev/ttyUSB0)", "COM2: USB Serial (/dev/ttyUSB1)",
                           "COM3: no device (/dev/ttyS2)", "COM4: no device (/dev/ttyS3)"}
            << QList<int>{1, 2};
        QTest::newRow("five adapters: the fifth gets no number")
            << QList<ListedDevice>{usbAdapter("/dev/ttyUSB10", "FT232R USB UART", "E5", "5"),
                                   usbAdapter("/dev/ttyUSB3", "FT232R USB UART", "D4", "4"),
                                   usbAdapter("/dev/ttyUSB2", "FT232R USB UART", "C3", "3"),
                                   usbAdapter("/dev/ttyUSB1", "FT232R USB UART", "B2", "2"),
                                   usbAdapter("/dev/ttyUSB0", "FT232R USB UART", "A1", "1")}
            << none << none
            << QStringList{"COM1=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0",
                           "COM2=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_B2-if00-port0",
                           "COM3=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_C3-if00-port0",
                           "COM4=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_D4-if00-port0"}
            << QStringList{"COM1: FT232R USB UART, serial A1 (/dev/ttyUSB0)",
                           "COM2: FT232R USB UART, serial B2 (/dev/ttyUSB1)",
                           "COM3: FT232R USB UART, serial C3 (/dev/ttyUSB2)",
                           "COM4: FT232R USB UART, serial D4 (/dev/ttyUSB3)"}
            << QList<int>{1, 2, 3, 4, 0};
        QTest::newRow("operator's mapping of an absent device is kept")
            << QList<ListedDevice>{adapterA()} << QStringList{"COM1=/dev/ttyACM7"} << none
            << QStringList{"COM1=/dev/ttyACM7", "COM2=" + kIdA}
            << QStringList{"COM1: no device (/dev/ttyACM7)", "COM2: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)",
                           "COM3: no device (/dev/ttyS2)", "COM4: no device (/dev/ttyS3)"}
            << QList<int>{2};
        QTest::newRow("operator maps the adapter by its /dev name")
            << QList<ListedDevice>{adapterA()} << QStringList{"COM3=/dev/ttyUSB0"} << none
            << QStringList{"COM3=/dev/ttyUSB0"}
            << QStringList{"COM1: no device (/dev/ttyS0)", "COM2: no device (/dev/ttyS1)",
                           "COM3: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)", "COM4: no device (/dev/ttyS3)"}
            << QList<int>{3};
        QTest::newRow("environment variable holds COM1")
            << QList<ListedDevice>{adapterA()} << none << QStringList{"1=/dev/ttyUSB9"} << QStringList{"COM2=" + kIdA}
            << QStringList{"COM1: no device (/dev/ttyUSB9)", "COM2: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)",
                           "COM3: no device (/dev/ttyS2)", "COM4: no device (/dev/ttyS3)"}
            << QList<int>{2};
        QTest::newRow("on-board port moved by the operator frees its number")
            << QList<ListedDevice>{onBoardPort(0), adapterA()} << QStringList{"COM3=/dev/ttyS0"} << none
            << QStringList{"COM1=" + kIdA, "COM3=/dev/ttyS0"}
            << QStringList{"COM1: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)", "COM2: no device (/dev/ttyS1)",
                           "COM3: on-board serial port (/dev/ttyS0)", "COM4: no device (/dev/ttyS3)"}
            << QList<int>{3, 1};
        QTest::newRow("ports beyond the fourth on-board one are numbered like adapters")
            << QList<ListedDevice>{{"/dev/ttySAC0", {}, {}, {}, {}}, onBoardPort(4), onBoardPort(0)} << none << none
            << QStringList{"COM2=/dev/ttyS4", "COM3=/dev/ttySAC0"}
            << QStringList{"COM1: on-board serial port (/dev/ttyS0)", "COM2: on-board serial port (/dev/ttyS4)",
                           "COM3: on-board serial port (/dev/ttySAC0)", "COM4: no device (/dev/ttyS3)"}
            << QList<int>{1, 2, 3};
        QTest::newRow("device without udev links")
            << QList<ListedDevice>{{"/dev/ttyACM0", "Orvessa", {}, {}, {}}} << none << none
            << QStringList{"COM1=/dev/ttyACM0"}
            << QStringList{"COM1: Orvessa (/dev/ttyACM0)", "COM2: no device (/dev/ttyS1)",
                           "COM3: no device (/dev/ttyS2)", "COM4: no device (/dev/ttyS3)"}
            << QList<int>{1};
    }
    void assignment()
    {
        QFETCH(QList<ListedDevice>, devices);
        QFETCH(QStringList, stored);
        QFETCH(QStringList, environment);
        QTemporaryDir dir;
        const QString file = dir.filePath("TavrinV1.3prj.conf");
        {
            QSettings before(file, QSettings::IniFormat);
            for (const QString& entry : stored)
                before.setValue("Ports/" + entry.section('=', 0, 0), entry.section('=', 1));
        }
        for (const QString& entry : environment)
            qputenv(qPrintable("TAVRIN_COM" + entry.section('=', 0, 0)), entry.section('=', 1).toLocal8Bit());

        QSettings settings(file, QSettings::IniFormat);
        FakeDeviceListing listing;
        listing.devices = devices;
        PortMap map(settings, listing);
        map.recordNewDevices();

        QTEST(portsGroupOf(file), "ports");
        QStringList described;
        for (std::int16_t port = 1; port <= 4; ++port)
            described << PortWording::describePort(map, port);
        QTEST(described, "described");
        QList<int> numbers;
        for (const PortMap::PresentDevice& present : map.presentDevices())
            numbers << present.port;
        QTEST(numbers, "numbers");
        QVERIFY(!map.takeStoreError());

        // A second run with the same devices assigns nothing more.
        QSettings again(file, QSettings::IniFormat);
        PortMap next(again, listing);
        QCOMPARE(next.recordNewDevices(), QList<PortMap::Assignment>());
        QTEST(portsGroupOf(file), "ports");
    }

    // A new adapter, then plugged again under another /dev name while another
    // adapter took its old one: the same number each time.
    void anAdapterKeepsItsNumberAcrossRuns()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("TavrinV1.3prj.conf");
        FakeDeviceListing listing;
        const QList<QList<ListedDevice>> runs{
            {adapterA("/dev/ttyUSB0")},
            {adapterB("/dev/ttyUSB0"), adapterA("/dev/ttyUSB1")},
            {adapterA("/dev/ttyUSB0")},
        };
        QStringList com1;
        for (const QList<ListedDevice>& devices : runs) {
            listing.devices = devices;
            QSettings settings(file, QSettings::IniFormat);
            PortMap map(settings, listing);
            map.recordNewDevices();
            com1 << PortWording::describePort(map, 1);
        }
        QCOMPARE(com1, QStringList({"COM1: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)",
                                    "COM1: FT232R USB UART, serial A10K3 (/dev/ttyUSB1)",
                                    "COM1: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)"}));
        QCOMPARE(portsGroupOf(file), QStringList({"COM1=" + kIdA, "COM2=" + kIdB}));
    }

    // The file as it is now decides, whoever changed it since the map last
    // read it; a key that is there is never replaced, and a line QSettings
    // cannot read is no failure to save.
    void theFileAsItIsNow_data()
    {
        QTest::addColumn<QByteArray>("changed");  // the file as rewritten after the first recording
        QTest::addColumn<QStringList>("paths");   // COM1 to COM3 afterwards
        QTest::addColumn<QStringList>("ports");   // the group after a second recording

        const QByteArray junk = "; kept by hand\njunk line\n";
        QTest::newRow("moved by hand") << "[Ports]\nCOM3=" + kIdA.toUtf8() + "\n"
                                       << QStringList{kIdB, "/dev/ttyS1", kIdA}
                                       << QStringList{"COM1=" + kIdB, "COM3=" + kIdA};
        QTest::newRow("another program took COM2") << "[Ports]\nCOM1=" + kIdA.toUtf8() + "\nCOM2=/dev/ttyACM0\n"
                                                   << QStringList{kIdA, "/dev/ttyACM0", kIdB}
                                                   << QStringList{"COM1=" + kIdA, "COM2=/dev/ttyACM0", "COM3=" + kIdB};
        QTest::newRow("an empty key holds its number")
            << "[Ports]\nCOM1=" + kIdA.toUtf8() + "\nCOM2=\n"
            << QStringList{kIdA, "/dev/ttyS1", kIdB} << QStringList{"COM1=" + kIdA, "COM2=", "COM3=" + kIdB};
        QTest::newRow("a junk line") << junk + "[Ports]\nCOM1=" + kIdA.toUtf8() + "\n"
                                     << QStringList{kIdA, kIdB, "/dev/ttyS2"}
                                     << QStringList{"COM1=" + kIdA, "COM2=" + kIdB};
    }
    void theFileAsItIsNow()
    {
        QFETCH(QByteArray, changed);
        QTemporaryDir dir;
        const QString file = dir.filePath("TavrinV1.3prj.conf");
        QSettings settings(file, QSettings::IniFormat);
        FakeDeviceListing listing;
        listing.devices = {adapterA()};
        PortMap map(settings, listing);
        QCOMPARE(map.recordNewDevices(), QList<PortMap::Assignment>({{1, kIdA}}));

        // Written by another program, as bytes: QSettings shares what it read
        // of a file within one process.
        QFile other(file);
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.write(changed);
        other.close();
        // Later than QSettings' own write, as an edit is: a file of the same
        // size written within the same tick would look unchanged to it.
        QVERIFY(other.open(QIODevice::ReadWrite));
        QVERIFY(other.setFileTime(QDateTime::currentDateTime().addSecs(2), QFileDevice::FileModificationTime));
        other.close();
        listing.devices << adapterB();
        QStringList paths;
        for (std::int16_t port = 1; port <= 3; ++port)
            paths << map.pathRecordingNewDevices(port);
        map.recordNewDevices();
        for (std::int16_t port = 1; port <= 3; ++port)
            paths[port - 1] = map.mapping(port).path;
        QTEST(paths, "paths");
        QTEST(portsGroupOf(file), "ports");
        QVERIFY(!map.takeStoreError());
    }

    // Two programs numbering the same devices at once: neither replaces what
    // the other recorded, and no device gets two numbers.
    void twoProgramsRecordingAtOnce()
    {
        for (int round = 0; round < 4; ++round) {
            QTemporaryDir dir;
            const QString file = dir.filePath("TavrinV1.3prj.conf");
            // One program sees adapters A and B, the other only B (A plugged in meanwhile).
            QProcess both;
            QProcess onlyB;
            for (auto [process, devices] : {std::pair{&both, "AB"}, std::pair{&onlyB, "B"}}) {
                QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
                environment.insert("TAVRIN_TEST_RECORD", file);
                environment.insert("TAVRIN_TEST_DEVICES", devices);
                process->setProcessEnvironment(environment);
                process->start(QCoreApplication::applicationFilePath());
            }
            QVERIFY(both.waitForFinished(10000) && onlyB.waitForFinished(10000));
            QCOMPARE(both.exitCode() + onlyB.exitCode(), 0);
            QStringList paths;
            for (const QString& entry : portsGroupOf(file))
                paths << entry.section('=', 1);
            paths.sort();
            QCOMPARE(paths, (QStringList{kIdA, kIdB}));
        }
    }

    // Resolving a mapped port lists nothing; the first unmapped one runs the
    // assignment once, and later ones fall back to the default.
    void resolvingListsOnlyWhenNeeded_data()
    {
        QTest::addColumn<QList<int>>("order");  // ports resolved, in order
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QList<int>>("listings");  // after each

        QTest::newRow("mapped ports only")
            << QList<int>{1, 3} << QStringList{"/dev/pts/7", "/dev/ttyACM3"} << QList<int>{0, 0};
        QTest::newRow("unmapped port first")
            << QList<int>{2, 4, 1} << QStringList{kIdA, "/dev/ttyS3", "/dev/pts/7"} << QList<int>{1, 1, 1};
        QTest::newRow("mapped, then unmapped")
            << QList<int>{1, 4, 2} << QStringList{"/dev/pts/7", "/dev/ttyS3", kIdA} << QList<int>{0, 1, 1};
    }
    void resolvingListsOnlyWhenNeeded()
    {
        QFETCH(QList<int>, order);
        qputenv("TAVRIN_COM1", "/dev/pts/7");
        QTemporaryDir dir;
        QSettings settings(dir.filePath("TavrinV1.3prj.conf"), QSettings::IniFormat);
        settings.setValue("Ports/COM3", "/dev/ttyACM3");
        FakeDeviceListing listing;
        listing.devices = {adapterA()};
        PortMap map(settings, listing);
        QStringList paths;
        QList<int> listings;
        for (int port : order) {
            paths << map.pathRecordingNewDevices(std::int16_t(port));
            listings << listing.listings;
        }
        QTEST(paths, "paths");
        QTEST(listings, "listings");
    }

    // A store that cannot be written: the assignment holds for the run and is
    // reported once, however many adapters come.
    void unwritableStore()
    {
        QTemporaryFile blocker;  // a file where the settings folder should be
        QVERIFY(blocker.open());
        QSettings settings(blocker.fileName() + "/Tavrin/TavrinV1.3prj.conf", QSettings::IniFormat);
        FakeDeviceListing listing;
        listing.devices = {adapterA()};
        PortMap map(settings, listing);
        QCOMPARE(map.recordNewDevices(), QList<PortMap::Assignment>({{1, kIdA}}));
        const std::optional<OperationError> error = map.takeStoreError();
        QVERIFY(error);
        QCOMPARE(error->reportText(), "error NO: 75--TavrinV1.3prj: the COM numbers given to new serial devices could "
                                      "not be saved in " +
                                          blocker.fileName() +
                                          "/Tavrin/TavrinV1.3prj.conf (the file could not be written); they hold until "
                                          "the program ends");
        QVERIFY(!map.takeStoreError());

        listing.devices << adapterB();
        QCOMPARE(map.recordNewDevices(), QList<PortMap::Assignment>({{2, kIdB}}));
        QVERIFY(!map.takeStoreError());
        QCOMPARE(map.pathRecordingNewDevices(1), kIdA);
        QCOMPARE(map.pathRecordingNewDevices(2), kIdB);
        QCOMPARE(PortWording::describePort(map, 2), QString("COM2: FT232R USB UART, serial B77Q1 (/dev/ttyUSB1)"));
    }

    // The host component passes the store's failure on once.
    void hostComponentReportsAnUnwritableStoreOnce()
    {
        QTemporaryFile blocker;
        QVERIFY(blocker.open());
        auto listing = std::make_unique<FakeDeviceListing>();
        listing->devices = {adapterA()};
        FakeDeviceListing& devices = *listing;
        HostSerial serial(std::make_unique<QSettings>(blocker.fileName() + "/TavrinV1.3prj.conf", QSettings::IniFormat),
                          std::move(listing));
        int reports = 0;
        for (int drop = 0; drop < 3; ++drop) {
            try {
                serial.refreshPorts();
            } catch (const OperationError& error) {
                ++reports;
                QCOMPARE(error.number(), ErrorNumber::SettingsAccess);
            }
            if (drop == 0)
                devices.devices << adapterB();
        }
        QCOMPARE(reports, 1);
        QCOMPARE(serial.describePort(1), QString("COM1: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)"));
        QCOMPARE(serial.describePort(2), QString("COM2: FT232R USB UART, serial B77Q1 (/dev/ttyUSB1)"));
    }

    void stablePathPrefersUniqueUdevNames_data()
    {
        QTest::addColumn<QList<ListedDevice>>("present");
        QTest::addColumn<QString>("path");  // of the first device

        const ListedDevice a = adapterA();
        QTest::newRow("by-id") << QList<ListedDevice>{a} << kIdA;
        ListedDevice samePath = adapterB();
        samePath.byPath = a.byPath;
        ListedDevice sameId = adapterB();
        sameId.byId = a.byId;
        QTest::newRow("by-id shared: by-path")
            << QList<ListedDevice>{a, sameId} << "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0";
        ListedDevice both = sameId;
        both.byPath = a.byPath;
        QTest::newRow("both shared: system location") << QList<ListedDevice>{a, both} << "/dev/ttyUSB0";
        QTest::newRow("no links") << QList<ListedDevice>{{"/dev/ttyACM0", "Orvessa", {}, {}, {}}} << "/dev/ttyACM0";
        // udev points the by-id link of identical adapters at either of them.
        QTest::newRow("no serial number, alone: by-path")
            << QList<ListedDevice>{usbAdapter("/dev/ttyUSB0", "USB Serial", "", "2")}
            << "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
    }
    void stablePathPrefersUniqueUdevNames()
    {
        QFETCH(QList<ListedDevice>, present);
        QTEST(PortMap::stablePath(present.first(), present), "path");
    }
};

namespace {

// The devices of one program in twoProgramsRecordingAtOnce, listed slowly as
// udev lists, so that both programs are between reading and writing at once.
class SlowListing final : public DeviceListing {
public:
    explicit SlowListing(const QString& which)
    {
        if (which.contains('A'))
            devices_ << adapterA();
        if (which.contains('B'))
            devices_ << adapterB();
    }
    QList<ListedDevice> presentDevices() const override
    {
        QThread::msleep(150);
        return devices_;
    }

private:
    QList<ListedDevice> devices_;
};

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("TAVRIN_TEST_RECORD")) {
        QSettings settings(qEnvironmentVariable("TAVRIN_TEST_RECORD"), QSettings::IniFormat);
        const SlowListing listing(qEnvironmentVariable("TAVRIN_TEST_DEVICES"));
        PortMap map(settings, listing);
        map.recordNewDevices();
        return map.takeStoreError() ? 1 : 0;
    }
    TestPortMap test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_port_map.moc"
