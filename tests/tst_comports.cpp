// SPDX-License-Identifier: GPL-3.0-or-later
#include <QtTest>

#include "ftmsclib/comports.h"

// What Windows' device data about a COM port means, over recorded data.
class TestComPorts : public QObject
{
    Q_OBJECT

private slots:
    void deviceData_data();
    void deviceData();
};

void TestComPorts::deviceData_data()
{
    QTest::addColumn<QString>("instanceId");
    QTest::addColumn<QString>("portName");
    QTest::addColumn<QString>("description");
    // "" where the port is left out; else "<path> <kind> <description>".
    QTest::addColumn<QString>("entry");

    const QString txId = "USB\\VID_221D&PID_1000\\5&2B1F0A9E&0&2";
    const QString spp = "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\";
    QTest::newRow("TX on USB") << txId << "COM5" << "Serielles USB-Gerät" << "COM5 TxUsb ROBO TX Controller";
    QTest::newRow("TX, ids in lower case")
        << "usb\\vid_221d&pid_1000\\6&1c2d3e4f&0&1" << "com12" << "" << "COM12 TxUsb ROBO TX Controller";
    QTest::newRow("TX, one interface of several")
        << "USB\\VID_221D&PID_1000&MI_00\\6&1C2D3E4F&0&0000" << "COM6" << "" << "COM6 TxUsb ROBO TX Controller";
    QTest::newRow("another product of the maker")
        << "USB\\VID_221D&PID_10001\\5&2B1F0A9E&0&3" << "COM8" << "USB Serial Device"
        << "COM8 OtherSerial USB Serial Device";
    QTest::newRow("Bluetooth, dialling out")
        << spp + "7&1A2B3C4D&0&0016A4F0E1D2_C00000000" << "COM9" << "Standard Serial over Bluetooth link"
        << "COM9 Bluetooth Bluetooth";
    QTest::newRow("Bluetooth, incoming")
        << spp + "7&1A2B3C4D&0&000000000000_00000000" << "COM10" << "Standard Serial over Bluetooth link" << "";
    QTest::newRow("Bluetooth, no address") << spp + "7&1A2B3C4D&0" << "COM11" << "" << "";
    QTest::newRow("FTDI") << "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000" << "COM3" << "USB Serial Port"
                          << "COM3 OtherSerial USB Serial Port";
    QTest::newRow("no description") << "ACPI\\PNP0501\\1" << " COM1\n" << "  " << "COM1 OtherSerial serial port";
    QTest::newRow("registry name only") << "" << "\\\\.\\com7" << "" << "COM7 OtherSerial serial port";
    QTest::newRow("no port name") << txId << "" << "ROBO TX Controller" << "";
    QTest::newRow("printer port") << "ACPI\\PNP0400\\0" << "LPT1" << "Printer Port" << "";
}

void TestComPorts::deviceData()
{
    QFETCH(QString, instanceId);
    QFETCH(QString, portName);
    QFETCH(QString, description);
    QFETCH(QString, entry);
    static const char *const kinds[] = {"TxUsb", "Txt", "Bluetooth", "Simulator", "OtherSerial"};
    const std::optional<ftlib::PortEntry> port = ftlib::comPortEntry(
        instanceId.toStdString(), portName.toStdString(), description.toStdString());
    QString listed;
    if (port) {
        listed = QString::fromStdString(port->path) + " " + kinds[int(port->kind)] + " "
            + QString::fromStdString(port->description);
    }
    QCOMPARE(listed, entry);
}

QTEST_APPLESS_MAIN(TestComPorts)
#include "tst_comports.moc"
