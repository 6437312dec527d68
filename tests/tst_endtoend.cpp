// The whole chain without hardware: the program's main window, the real
// controller library and a headless simulated controller on a pty.
#include <QComboBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "bindinglist.h"
#include "ftconnection.h"
#include "mainwindow.h"
#include "processobjects.h"
#include "simprocess.h"
#include "testsupport.h"

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void driveSimulatedMotor();

private:
    QTemporaryDir simDir;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(simDir.isValid());
    // The library's port search looks for simulators here; this run's own.
    qputenv("KAVRIK_SIM_DIR", simDir.path().toLocal8Bit());
}

void TestEndToEnd::cleanup()
{
    QCOMPARE(visibleTopLevelWindows(), QStringList());
}

void TestEndToEnd::driveSimulatedMotor()
{
    SimProcess sim;
    QVERIFY(sim.start({}, simDir.path()));

    ModalCloser closer;
    MainWindow w;
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(closer.seen.size(), 0); // the library passed the start-up check

    auto click = [&](const char *name) { w.findChild<QPushButton *>(QLatin1String(name))->click(); };
    click("pushButton");
    auto *ports = w.findChild<QComboBox *>(QStringLiteral("comboBox"));
    const int simulator = ports->findText(sim.port + QStringLiteral(" ROBO TX simulator"));
    QVERIFY2(simulator >= 0, qPrintable(ftConnection().portNames.join(QLatin1Char(','))));
    ports->setCurrentIndex(simulator);
    click("pushButton_2");
    QVERIFY(ftConnection().connected);
    click("pushButton_4");
    QVERIFY(ftConnection().transferAreaRunning);
    QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "config"; }, 3000).isEmpty());

    KeyBinding b;
    b.keyText = QStringLiteral("d");
    b.keyCode = 68;
    b.motor = 1;
    b.direction = true;
    b.speed = 400;
    bindingList().append(b);

    QKeyEvent press = x11KeyEvent(QEvent::KeyPress, Qt::Key_D, 40, 0x64, QStringLiteral("d"));
    QApplication::sendEvent(&w, &press);
    QVERIFY(!sim.waitOutput(0, 3, 400).isEmpty());
    QKeyEvent release = x11KeyEvent(QEvent::KeyRelease, Qt::Key_D, 40, 0x64, QStringLiteral("d"));
    QApplication::sendEvent(&w, &release);
    QVERIFY(!sim.waitOutput(0, 3, 0).isEmpty());

    click("pushButton_5");
    click("pushButton_3");
    QVERIFY(!ftConnection().connected);
    QCOMPARE(closer.seen.size(), 0);
    w.close();
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
