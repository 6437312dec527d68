// SPDX-License-Identifier: GPL-3.0-or-later
#include <QtTest>

#include "tests/ftlibapi.h"

// A real ROBO TX on the port named by KAVRIK_TX_PORT (e.g. /dev/ttyACM0);
// skipped without one. Outputs are only ever set to 0.
class TestRealController : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void identifyExchangeStop();
    void cleanupTestCase();

private:
    FtLibApi api;
    QByteArray port;
};

void TestRealController::initTestCase()
{
    port = qgetenv("KAVRIK_TX_PORT");
    if (port.isEmpty())
        QSKIP("KAVRIK_TX_PORT names no controller port");
    QVERIFY2(api.load(KAVRIK_BIN_DIR "/libftMscLib.so"), dlerror());
    QCOMPARE(api.ftxInitLib(), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestRealController::identifyExchangeStop()
{
    uint32_t err = FTLIB_ERR_UNKNOWN;
    const FtHandle h = api.ftxOpenComDevice(port.constData(), 38400, &err);
    QCOMPARE(err, uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(h);
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    for (int o = 0; o < 8; ++o)
        QCOMPARE(api.SetOutPwmValues(h, 0, o, 0), uint32_t(FTLIB_ERR_SUCCESS));
    // A second of exchanges (about 100) must pass without losing the link.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 1000) {
        QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_SUCCESS));
        QTest::qWait(50);
    }
    QCOMPARE(api.ftxStopTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestRealController::cleanupTestCase()
{
    if (api.ftxCloseLib)
        api.ftxCloseLib();
}

QTEST_GUILESS_MAIN(TestRealController)
#include "tst_realcontroller.moc"
