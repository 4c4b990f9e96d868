// Discovery of the device's USB serial interface, against fake sysfs trees and udev
// records that umockdev presents to libudev. Runs under umockdev-wrapper (see CMakeLists.txt).

// glib's headers name struct members "signals"; they must be read before Qt defines that keyword.
#include <umockdev.h>

#include "build_settings_generated.h"
#include "discovery.h"
#include "table_rows.h"

#include <QFile>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Records in the format umockdev-record writes: P: sysfs path, N: device node, S: devlink
// (relative to /dev, as in the udev database), E: property, A: sysfs attribute.
// A CDC-ACM device: the tty sits below the USB interface, below the USB device.
// umockdev keeps no udev database: S: only makes the links under its /dev, and libudev learns
// of them from the DEVLINKS property, which a recorded device carries as well.
// `strings`: more A: lines for the USB device (see usbStrings).
QString usbTty(const QString &port, const QString &vendor, const QString &product, const QString &tty,
               const QString &links = {}, const QString &strings = {})
{
    const QString device = QStringLiteral("/devices/pci0000:00/0000:00:14.0/usb1/") + port;
    const QString iface = device + QStringLiteral("/") + port + QStringLiteral(":1.0");
    QString text;
    text += QStringLiteral("P: %1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=%2\nA: idProduct=%3\n%4\n")
                .arg(device, vendor, product, strings);
    text += QStringLiteral("P: %1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=02\n\n").arg(iface);
    text += QStringLiteral("P: %1/tty/%2\nN: %2\n").arg(iface, tty);
    QStringList devlinks;
    for (const QString &link : links.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        text += QStringLiteral("S: %1\n").arg(link);
        devlinks << QStringLiteral("/dev/") + link;
    }
    text += QStringLiteral("E: SUBSYSTEM=tty\nE: DEVNAME=/dev/%1\n").arg(tty);
    if (!devlinks.isEmpty())
        text += QStringLiteral("E: DEVLINKS=%1\n").arg(devlinks.join(QLatin1Char(' ')));
    text += QLatin1Char('\n');
    return text;
}

QString usbStrings(const QString &manufacturer, const QString &product, const QString &serial)
{
    return QStringLiteral("A: manufacturer=%1\nA: product=%2\nA: serial=%3\n").arg(manufacturer, product, serial);
}

// A USB device without a tty, opened through its node under /dev/bus/usb, as the FTDI road does.
QString usbDevice(const QString &port, const QString &node, const QString &product)
{
    return QStringLiteral("P: /devices/pci0000:00/0000:00:14.0/usb1/%1\nN: %2\nE: SUBSYSTEM=usb\n"
                          "E: DEVTYPE=usb_device\nE: DEVNAME=/dev/%2\nA: idVendor=5a5a\nA: idProduct=0d0c\n"
                          "A: manufacturer=Halvery\nA: product=%3\nA: serial=D0CK\n\n")
        .arg(port, node, product);
}

const QString SerialPort = QStringLiteral("P: /devices/platform/serial8250/tty/ttyS0\nN: ttyS0\n"
                                          "E: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyS0\n\n");

// One listed device in a line, every field in a fixed order.
QString line(const UsbSerialDevice &d)
{
    return QStringList {d.converter ? "converter" : "tty", QString::fromStdString(d.path),
                        QString::fromStdString(d.byId), QString::fromStdString(usbIdText(d.id)),
                        QString::fromStdString(d.manufacturer), QString::fromStdString(d.product),
                        QString::fromStdString(d.serial), d.mayOpen ? "may open" : "may not open",
                        d.wouldUse ? "would use" : "-"}
        .join(QLatin1Char('|'));
}

QString byId(const QString &serial)
{
    return QStringLiteral("serial/by-id/usb-pid.codes_Test_%1-if00").arg(serial);
}

// Records, the id looked for, and every path found with it (the first is the pick).
struct FindRow { const char *name; QString records, id, expected; };
// A text read as an id, and the vendor and product it gives.
struct IdRow { const char *name; QString text; bool accepted = false; uint vendor = 0, product = 0; };
// Records, the id for the tty road or the FTDI road, a node under the testbed's /dev made
// unopenable, and the devices listed (see line()).
struct ListRow { const char *name; QString records, id; bool ttyRoad; QString locked; QStringList expected; };

UsbId parsed(const char *text)
{
    UsbId id;
    if (!UsbId::parse(text, id))
        qFatal("test id %s does not parse", text);
    return id;
}

} // namespace

class TestDiscovery : public QObject {
    Q_OBJECT

    UMockdevTestbed *testbed = nullptr;

    void addRecords(const QString &records)
    {
        if (records.isEmpty())
            return;
        GError *error = nullptr;
        const QByteArray text = records.toUtf8();
        if (!umockdev_testbed_add_from_string(testbed, text.constData(), &error)) {
            const QByteArray message = error ? QByteArray(error->message) : QByteArray("unknown error");
            g_clear_error(&error);
            QFAIL(qPrintable(QStringLiteral("umockdev rejected the records: ") + QString::fromUtf8(message)));
        }
    }

private slots:
    void initTestCase()
    {
        // Outside the preload libudev would see this machine's real devices: every result
        // below would then say nothing about the code. umockdev can only tell once a testbed
        // exists (it looks at where /sys leads), and it remembers its first answer.
        UMockdevTestbed *probe = umockdev_testbed_new();
        const bool mocked = umockdev_in_mock_environment();
        g_object_unref(probe);
        QVERIFY2(mocked, "run this test through umockdev-wrapper");
    }

    // A fresh, empty testbed for each test: no device survives from one test to the next.
    void init()
    {
        testbed = umockdev_testbed_new();
        QVERIFY(testbed);
    }

    void cleanup()
    {
        if (testbed)
            g_object_unref(testbed);
        testbed = nullptr;
    }

    void findsInterface_data()
    {
        const QString acm0Link = QStringLiteral("/dev/") + byId(QStringLiteral("A"));
        const QString acm1Link = QStringLiteral("/dev/") + byId(QStringLiteral("B"));
        const QString byPath = "serial/by-path/pci-0000:00:14.0-usb-0:1:1.0";
        addRows<FindRow>({
            {"matching tty with by-id link gives the link", usbTty("1-1", "1209", "0001", "ttyACM0", byId("A")),
             "1209:0001", acm0Link},
            {"matching tty without links gives its node", usbTty("1-1", "1209", "0001", "ttyACM0"), "1209:0001",
             "/dev/ttyACM0"},
            {"by-id link preferred over by-path link listed first",
             usbTty("1-1", "1209", "0001", "ttyACM0", byPath + " " + byId("A")), "1209:0001", acm0Link},
            {"only a by-path link gives the node", usbTty("1-1", "1209", "0001", "ttyACM0", byPath), "1209:0001",
             "/dev/ttyACM0"},
            {"other product is not found", usbTty("1-1", "1209", "0002", "ttyACM0", byId("A")), "1209:0001", ""},
            {"other vendor is not found", usbTty("1-1", "1208", "0001", "ttyACM0", byId("A")), "1209:0001", ""},
            {"ids swapped are not found", usbTty("1-1", "0001", "1209", "ttyACM0", byId("A")), "1209:0001", ""},
            {"sysfs hex matches an id written in capitals", usbTty("1-1", "abcd", "ef01", "ttyACM0"), "ABCD:EF01",
             "/dev/ttyACM0"},
            {"no devices at all", "", "1209:0001", ""},
            {"matching USB device without a tty",
             "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\nE: SUBSYSTEM=usb\n"
             "E: DEVTYPE=usb_device\nA: idVendor=1209\nA: idProduct=0001\n\n",
             "1209:0001", ""},
            {"tty without a USB parent", SerialPort, "1209:0001", ""},
            // Written in the opposite order to the enumeration's, so that the order in which
            // the records were made cannot pass for it.
            {"two matching ttys: both, the first picked",
             usbTty("1-2", "1209", "0001", "ttyACM1", byId("B")) + usbTty("1-1", "1209", "0001", "ttyACM0", byId("A")),
             "1209:0001", acm0Link + " " + acm1Link},
            {"matching tty after another device's tty",
             usbTty("1-1", "1209", "0002", "ttyACM0", byId("A")) + usbTty("1-2", "1209", "0001", "ttyACM1", byId("B")),
             "1209:0001", acm1Link},
            {"serial port before the matching tty", SerialPort + usbTty("1-1", "1209", "0001", "ttyACM0"), "1209:0001",
             "/dev/ttyACM0"},
        });
    }

    void findsInterface()
    {
        QFETCH(FindRow, row);
        addRecords(row.records);
        if (QTest::currentTestFailed())
            return;
        // Every match in enumeration order (a batch updates them all); the first is the pick.
        const UsbId id = parsed(row.id.toUtf8().constData());
        QStringList all;
        for (const std::string &path : findInterfacePaths(id))
            all << QString::fromStdString(path);
        QCOMPARE(all.join(' '), row.expected);
        QCOMPARE(QString::fromStdString(findInterfacePath(id)), row.expected.section(' ', 0, 0));
    }

    // The device leaves and comes back as another tty after its reset: each call must look
    // at what is present now, not at what an earlier call saw.
    void followsReenumeration()
    {
        const UsbId id = parsed("1209:0001");
        addRecords(usbTty("1-1", "1209", "0001", "ttyACM0"));
        QCOMPARE(QString::fromStdString(findInterfacePath(id)), QStringLiteral("/dev/ttyACM0"));

        // Leaves first: removing a device does not take its children's class and bus links along.
        umockdev_testbed_remove_device(testbed, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/tty/ttyACM0");
        umockdev_testbed_remove_device(testbed, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0");
        umockdev_testbed_remove_device(testbed, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1");
        QCOMPARE(QString::fromStdString(findInterfacePath(id)), QString());

        addRecords(usbTty("1-1", "1209", "0001", "ttyACM1"));
        QCOMPARE(QString::fromStdString(findInterfacePath(id)), QStringLiteral("/dev/ttyACM1"));
    }

    void parsesUsbId_data()
    {
        addRows<IdRow>({
            {"build default", "1209:0001", true, 0x1209, 0x0001},
            {"mixed case", "ABCD:ef01", true, 0xabcd, 0xef01},
            {"highest", "ffff:FFFF", true, 0xffff, 0xffff},
            {"unset", QString()},
            {"empty", ""},
            {"vendor only", "1209"},
            {"vendor and colon", "1209:"},
            {"product only", ":0001"},
            {"trailing text", "1209:0001x"},
            {"trailing colon", "1209:0001:"},
            {"not hex", "zz:01"},
            {"vendor too long", "12090:0001"},
            {"other separator", "1209-0001"},
            {"leading space", " 1209:0001"},
            {"space after colon", "1209: 0001"},
            {"negative vendor", "-1:0001"},
            {"signed product", "1209:+001"},
            {"0x prefix", "0x12:0001"},
        });
    }

    void parsesUsbId()
    {
        QFETCH(IdRow, row);
        // A rejected text must leave the caller's id as it was.
        UsbId id;
        id.vendor = 0x5555;
        id.product = 0x6666;
        QCOMPARE(UsbId::parse(row.text.toStdString(), id), row.accepted);
        QCOMPARE(uint(id.vendor), row.accepted ? row.vendor : 0x5555u);
        QCOMPARE(uint(id.product), row.accepted ? row.product : 0x6666u);
        // Named in the environment (a null text: unset), it is the device's id; otherwise the build's is.
        const UsbId build = parsed(QTX_DEVICE_USB_ID);
        if (row.text.isNull())
            qunsetenv("QTX_MOVA_USB_ID");
        else
            qputenv("QTX_MOVA_USB_ID", row.text.toUtf8());
        const UsbId got = deviceUsbId();
        qunsetenv("QTX_MOVA_USB_ID");
        QCOMPARE(uint(got.vendor), row.accepted ? row.vendor : uint(build.vendor));
        QCOMPARE(uint(got.product), row.accepted ? row.product : uint(build.product));
    }

    void listsUsbSerialDevices_data()
    {
        const QString device = usbTty("1-1", "1209", "0001", "ttyACM0", byId("A"), usbStrings("pid.codes", "Test", "A"));
        const QString foreign = usbTty("1-2", "1a2b", "3c4d", "ttyUSB0");
        const QString dock = usbDevice("1-3", "bus/usb/001/003", DockingStationDescription);
        const QString deviceRow = "tty|/dev/ttyACM0|/dev/" + byId("A") + "|1209:0001|pid.codes|Test|A|may open|";
        const QString foreignRow = QStringLiteral("tty|/dev/ttyUSB0||1a2b:3c4d||||may open|-");
        const QString dockRow = QStringLiteral("converter|/dev/bus/usb/001/003||5a5a:0d0c|Halvery|") +
                                DockingStationDescription + "|D0CK|may open|";
        addRows<ListRow>({
            {"tty road: the device, a foreign tty; no serial port, no other USB device",
             SerialPort + device + foreign + usbDevice("1-4", "bus/usb/001/004", "Keyboard"), "1209:0001", true, "",
             {deviceRow + "would use", foreignRow}},
            {"tty road: the id picks the foreign tty", device + foreign, "1a2b:3c4d", true, "",
             {deviceRow + "-", foreignRow.chopped(1) + "would use"}},
            {"tty road: of two matching ttys the first is used", usbTty("1-2", "1209", "0001", "ttyACM1") + device,
             "1209:0001", true, "", {deviceRow + "would use", "tty|/dev/ttyACM1||1209:0001||||may open|-"}},
            {"tty road: the converter is listed, not used", device + dock, "1209:0001", true, "",
             {deviceRow + "would use", dockRow + "-"}},
            {"FTDI road: the converter is used, not the tty", device + dock, "1209:0001", false, "",
             {deviceRow + "-", dockRow + "would use"}},
            {"a tty the user may not open", device + foreign, "1209:0001", true, "ttyUSB0",
             {deviceRow + "would use", "tty|/dev/ttyUSB0||1a2b:3c4d||||may not open|-"}},
            {"a converter the user may not open", dock, "1209:0001", false, "bus/usb/001/003",
             {QString(dockRow).replace("may open", "may not open") + "would use"}},
            {"nothing present", SerialPort, "1209:0001", true, "", {}},
        });
    }

    void listsUsbSerialDevices()
    {
        QFETCH(ListRow, row);
        if (!row.locked.isEmpty() && geteuid() == 0)
            QSKIP("root may open any node");
        addRecords(row.records);
        if (QTest::currentTestFailed())
            return;
        if (!row.locked.isEmpty()) {
            const QString node = QString::fromUtf8(umockdev_testbed_get_root_dir(testbed)) + "/dev/" + row.locked;
            QVERIFY2(::chmod(QFile::encodeName(node).constData(), 0) == 0, qPrintable(node));
        }
        QStringList listed;
        for (const UsbSerialDevice &d : listUsbSerialDevices(parsed(row.id.toUtf8().constData()), row.ttyRoad))
            listed << line(d);
        QCOMPARE(listed, row.expected);
    }

    // What the tty road says when it found nothing with its id but saw other devices.
    void hintsAtUnmatchedDevices()
    {
        addRecords(usbTty("1-2", "1a2b", "3c4d", "ttyUSB0", {}, usbStrings("Maker", "Some UART", "X1")) +
                   usbTty("1-1", "1209", "0002", "ttyACM0") + usbDevice("1-3", "bus/usb/001/003", DockingStationDescription));
        const UsbId id = parsed("1209:0001");
        QCOMPARE(QString::fromStdString(findInterfacePath(id)), QString());
        QCOMPARE(QString::fromStdString(unmatchedDevicesHint(listUsbSerialDevices(id, true), id)),
                 QStringLiteral("no USB serial device with the id 1209:0001 found, but these are present:\n"
                                "  /dev/ttyACM0  1209:0002  (no product name)\n"
                                "  /dev/ttyUSB0  1a2b:3c4d  Some UART\n"
                                "if one of them is the device, name it: QTX_MOVA_USB_ID=vvvv:pppp (its USB id) or "
                                "--port PATH"));

        // A converter is no tty: with nothing else there is nothing to point at.
        UsbSerialDevice converter;
        converter.converter = true;
        converter.path = "/dev/bus/usb/001/003";
        QCOMPARE(QString::fromStdString(unmatchedDevicesHint({converter}, id)), QString());
        QCOMPARE(QString::fromStdString(unmatchedDevicesHint({}, id)), QString());
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "test_discovery.moc"
