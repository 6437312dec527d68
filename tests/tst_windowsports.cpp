// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include <QtTest>

#include "ftmsclib/systemports.h"

// The port search on the system it runs on (Wine): a port registered as
// Wine registers one is listed.
class TestWindowsPorts : public QObject
{
    Q_OBJECT

private slots:
    void registeredPort();
};

void TestWindowsPorts::registeredPort()
{
    // Wine reads its list of ports only as its session starts:
    // scripts/windows-env puts COM7 there before it starts one.
    wchar_t target[256] = {};
    DWORD size = sizeof target;
    QVERIFY2(::RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Wine\\Ports", L"COM7", RRF_RT_REG_SZ, nullptr, target,
                            &size)
                 == ERROR_SUCCESS,
             "COM7 is not in Wine's list of ports");
    QStringList listed;
    for (const ftlib::PortEntry &port : ftlib::systemSerialPorts()) {
        listed << QString::fromStdString(port.path + " " + port.description)
                + (port.kind == ftlib::PortKind::OtherSerial ? "" : " (not OtherSerial)");
    }
    QVERIFY2(listed.contains("COM7 serial port"), qPrintable(listed.join(", ")));
    QCOMPARE(listed.removeDuplicates(), 0);
    QCOMPARE(QString::fromStdString(ftlib::canonicalPortPath("\\\\.\\com7")), QString("COM7"));
}

QTEST_APPLESS_MAIN(TestWindowsPorts)
#include "tst_windowsports.moc"
