// SPDX-License-Identifier: GPL-3.0-or-later
#include <QComboBox>
#include <QPushButton>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"
#include "tests/fakecalls.h"
#include "tests/testsupport.h"

namespace {

const QString usbPort = QStringLiteral("/dev/ttyACM0 ROBO TX Controller");
const QString btPort = QStringLiteral("/dev/rfcomm0 Bluetooth");

} // namespace

class TestFtConnection : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void walkThroughStates();
    void searchAsksCountBeforeEveryIndex();
    void noPortsFound();
    void searchFindsNothingWhileConnected();
    void twoSearchesInARow();
    void connectPassesPortBeforeBlank_data();
    void connectPassesPortBeforeBlank();
    void failures_data();
    void failures();
    void flagAlreadyReached_data();
    void flagAlreadyReached();
    void absentEntryPointFailsLikeError();
    void linkLostWhileRunning_data();
    void linkLostWhileRunning();

private:
    // The names of the enabled widgets of the connection panel.
    QStringList enabledPanel() const;
    void click(const char *button);

    MainWindow *window = nullptr;
    ModalCloser *closer = nullptr;
};

void TestFtConnection::init()
{
    resetProgramState();
    fakeFtReset();
    closer = new ModalCloser(this);
    window = new MainWindow;
    window->show();
    fakeFtClearLog();
}

void TestFtConnection::cleanup()
{
    window->close();
    delete window;
    delete closer;
    QCOMPARE(visibleTopLevelWindows(), QStringList());
}

QStringList TestFtConnection::enabledPanel() const
{
    QStringList names;
    for (const char *name : {"comboBox", "pushButton_2", "pushButton_3", "pushButton_4", "pushButton_5"}) {
        if (window->findChild<QWidget *>(QLatin1String(name))->isEnabled())
            names.append(QLatin1String(name));
    }
    return names;
}

void TestFtConnection::click(const char *button)
{
    window->findChild<QPushButton *>(QLatin1String(button))->click();
}

void TestFtConnection::walkThroughStates()
{
    fakeSetPorts({usbPort, btPort});
    fakeFtSetOpenResult(42, FTLIB_ERR_SUCCESS);

    click("pushButton");
    QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_2"}));
    click("pushButton_2");
    QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_3", "pushButton_4"}));
    QCOMPARE(ftConnection().deviceHandle, FtHandle(42));
    click("pushButton_4");
    QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_3", "pushButton_5"}));
    click("pushButton_5");
    QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_3", "pushButton_4"}));
    click("pushButton_4");
    // Disconnect while running: no stop first, both flags cleared.
    click("pushButton_3");
    QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_2"}));
    QVERIFY(!ftConnection().transferAreaRunning);
    QVERIFY(!ftConnection().connected);

    QCOMPARE(fakeCalls().filter(QRegExp(QStringLiteral("^ftx"))),
             (QStringList{"ftxOpenComDevice(\"/dev/ttyACM0\", 38400, 0)", "ftxStartTransferArea(42)",
                          "ftxStopTransferArea(42)", "ftxStartTransferArea(42)", "ftxCloseDevice(42)"}));
    QCOMPARE(closer->seen.size(), 0);
    QVERIFY(window->findChild<QPushButton *>(QStringLiteral("pushButton"))->isEnabled());
}

void TestFtConnection::searchAsksCountBeforeEveryIndex()
{
    fakeSetPorts({usbPort, btPort});
    click("pushButton");
    QCOMPARE(fakeCalls(), (QStringList{"GetAvailableComPorts(0)", "EnumComPorts(0, 256)", "GetAvailableComPorts(0)",
                                       "EnumComPorts(1, 256)", "GetAvailableComPorts(0)"}));
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0), usbPort);
    QCOMPARE(combo->itemText(1), btPort);
    QCOMPARE(combo->currentIndex(), 0);
}

void TestFtConnection::noPortsFound()
{
    fakeSetPorts({usbPort});
    click("pushButton");
    fakeSetPorts({});
    click("pushButton");
    QCOMPARE(closer->seen.size(), 1);
    QCOMPARE(closer->seen.at(0).title, QStringLiteral("Информация"));
    QCOMPARE(closer->seen.at(0).text, QStringLiteral("COM порты не обнаружены"));
    QCOMPARE(closer->seen.at(0).icon, QMessageBox::Information);
    QCOMPARE(enabledPanel(), QStringList());
    // The earlier search's items stay in the disabled box.
    QCOMPARE(window->findChild<QComboBox *>(QStringLiteral("comboBox"))->currentText(), usbPort);
}

void TestFtConnection::searchFindsNothingWhileConnected()
{
    fakeSetPorts({usbPort});
    click("pushButton");
    click("pushButton_2");
    click("pushButton_4");
    fakeSetPorts({});
    click("pushButton");
    QCOMPARE(enabledPanel(), QStringList());
    QVERIFY(ftConnection().connected);
    QVERIFY(ftConnection().transferAreaRunning);

    fakeSetPorts({usbPort});
    click("pushButton");
    QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_3", "pushButton_5"}));
}

void TestFtConnection::twoSearchesInARow()
{
    fakeSetPorts({usbPort, btPort});
    click("pushButton");
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    combo->setCurrentIndex(1);
    click("pushButton");
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(ftConnection().portNames, (QStringList{usbPort, btPort}));
}

void TestFtConnection::connectPassesPortBeforeBlank_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("passed");

    QTest::newRow("no blank") << "/dev/ttyACM3" << "/dev/ttyACM3";
    QTest::newRow("one description") << "/dev/ttyACM0 ROBO TX Controller" << "/dev/ttyACM0";
    QTest::newRow("Windows name") << "COM9" << "COM9";
    QTest::newRow("leading blank") << " COM3" << "";
}

void TestFtConnection::connectPassesPortBeforeBlank()
{
    QFETCH(QString, port);
    QFETCH(QString, passed);
    fakeSetPorts({port});
    click("pushButton");
    fakeFtClearLog();
    click("pushButton_2");
    QCOMPARE(fakeCalls(), QStringList{QStringLiteral("ftxOpenComDevice(\"%1\", 38400, 0)").arg(passed)});
}

void TestFtConnection::failures_data()
{
    QTest::addColumn<QString>("entryPoint");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("message");

    QTest::newRow("connect") << "ftxOpenComDevice" << "pushButton_2"
                             << "Не удалось подключиться к контроллеру через \"/dev/ttyACM0 ROBO TX Controller\"";
    QTest::newRow("disconnect") << "ftxCloseDevice" << "pushButton_3" << "Не удалось отключиться от контроллера";
    QTest::newRow("start") << "ftxStartTransferArea" << "pushButton_4" << "Не удалось запустить Transfer Area";
    QTest::newRow("stop") << "ftxStopTransferArea" << "pushButton_5" << "Не удалось остановить Transfer Area";
}

void TestFtConnection::failures()
{
    QFETCH(QString, entryPoint);
    QFETCH(QString, button);
    QFETCH(QString, message);

    fakeSetPorts({usbPort});
    click("pushButton");
    // Walk up to the state in which the button is enabled.
    if (button != QLatin1String("pushButton_2"))
        click("pushButton_2");
    if (button == QLatin1String("pushButton_5"))
        click("pushButton_4");

    const FtConnection before = ftConnection();
    const QStringList enabledBefore = enabledPanel();
    if (entryPoint == QLatin1String("ftxOpenComDevice"))
        fakeFtSetOpenResult(77, FTLIB_ERR_OPEN_COM);
    else
        fakeFtSetResult(entryPoint.toLatin1().constData(), FTLIB_ERR_FAILED);
    QVERIFY(window->findChild<QPushButton *>(button)->isEnabled());
    window->findChild<QPushButton *>(button)->click();

    QCOMPARE(closer->seen.size(), 1);
    QCOMPARE(closer->seen.at(0).title, QStringLiteral("Ошибка"));
    QCOMPARE(closer->seen.at(0).text, message);
    QCOMPARE(closer->seen.at(0).icon, QMessageBox::Critical);
    QCOMPARE(ftConnection().connected, before.connected);
    QCOMPARE(ftConnection().transferAreaRunning, before.transferAreaRunning);
    QCOMPARE(enabledPanel(), enabledBefore);
    // A failed connect still keeps what the library returned.
    QCOMPARE(ftConnection().deviceHandle, entryPoint == QLatin1String("ftxOpenComDevice") ? 77u : before.deviceHandle);
}

void TestFtConnection::flagAlreadyReached_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("result");

    QTest::newRow("close, already closed") << "close" << false << false << true;
    QTest::newRow("close, open") << "close" << true << false << false;
    QTest::newRow("stop, already stopped") << "stop" << true << false << true;
    QTest::newRow("stop, running") << "stop" << true << true << false;
    QTest::newRow("start, already running") << "start" << true << true << true;
    QTest::newRow("start, stopped") << "start" << true << false << false;
    QTest::newRow("open, already open") << "open" << true << false << true;
    QTest::newRow("open, closed") << "open" << false << false << false;
}

void TestFtConnection::flagAlreadyReached()
{
    QFETCH(QString, operation);
    QFETCH(bool, connected);
    QFETCH(bool, running);
    QFETCH(bool, result);

    // Every library call fails here.
    fakeFtSetOpenResult(0, FTLIB_ERR_OPEN_COM);
    for (const char *entry : {"ftxCloseDevice", "ftxStartTransferArea", "ftxStopTransferArea"})
        fakeFtSetResult(entry, FTLIB_ERR_FAILED);
    FtConnection c;
    c.connected = connected;
    c.transferAreaRunning = running;
    bool ok = false;
    if (operation == QLatin1String("close"))
        ok = c.closeDevice();
    else if (operation == QLatin1String("stop"))
        ok = c.stopTransferArea();
    else if (operation == QLatin1String("start"))
        ok = c.startTransferArea();
    else
        ok = c.openDevice("COM1");
    QCOMPARE(ok, result);
    QCOMPARE(c.connected, connected);
    QCOMPARE(c.transferAreaRunning, running);
}

void TestFtConnection::absentEntryPointFailsLikeError()
{
    fakeSetPorts({usbPort});
    click("pushButton");
    FtLib &lib = ftLib();
    const auto open = lib.ftxOpenComDevice;
    lib.ftxOpenComDevice = nullptr;
    fakeFtClearLog();
    click("pushButton_2");
    lib.ftxOpenComDevice = open;
    QCOMPARE(fakeCalls(), QStringList());
    QCOMPARE(closer->seen.size(), 1);
    QCOMPARE(closer->seen.at(0).title, QStringLiteral("Ошибка"));
    QVERIFY(!ftConnection().connected);

    const auto count = lib.GetAvailableComPorts;
    lib.GetAvailableComPorts = nullptr;
    click("pushButton");
    lib.GetAvailableComPorts = count;
    QCOMPARE(closer->seen.size(), 2);
    QCOMPARE(closer->seen.at(1).text, QStringLiteral("COM порты не обнаружены"));
    QVERIFY(!ftConnection().portsFound);
}

QTEST_MAIN(TestFtConnection)
#include "tst_ftconnection.moc"

void TestFtConnection::linkLostWhileRunning_data()
{
    QTest::addColumn<quint32>("closeResult");
    QTest::newRow("dead device closes") << quint32(FTLIB_ERR_SUCCESS);
    QTest::newRow("dead device fails to close") << quint32(FTLIB_ERR_TIMEOUT_TA);
}

void TestFtConnection::linkLostWhileRunning()
{
    QFETCH(quint32, closeResult);

    fakeSetPorts({usbPort, btPort});
    fakeFtSetOpenResult(42, FTLIB_ERR_SUCCESS);
    click("pushButton");
    window->findChild<QComboBox *>(QStringLiteral("comboBox"))->setCurrentIndex(1);
    click("pushButton_2");
    click("pushButton_4");
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 0, true, 512));
    bindingList().handleKey('A', true);

    // Running on a good link: the library is asked, nothing happens.
    QTRY_VERIFY(!fakeCalls(QStringLiteral("GetComStatus")).isEmpty());
    QCOMPARE(fakeCalls(QStringLiteral("GetComStatus")).constFirst(), QStringLiteral("GetComStatus(42)"));
    QVERIFY(ftConnection().transferAreaRunning);

    fakeFtSetResult("ftxCloseDevice", closeResult);
    fakeFtSetResult("GetComStatus", FTLIB_ERR_TIMEOUT_TA);
    QElapsedTimer shown;
    shown.start();
    QTRY_COMPARE_WITH_TIMEOUT(closer->seen.size(), 1, 1000);
    QVERIFY(shown.elapsed() < 1000);
    QCOMPARE(closer->seen.at(0).title, QStringLiteral("Ошибка"));
    QCOMPARE(closer->seen.at(0).icon, QMessageBox::Critical);
    QCOMPARE(closer->seen.at(0).text,
             QStringLiteral("Связь с контроллером через \"/dev/rfcomm0 Bluetooth\" потеряна. Проверьте кабель "
                            "и питание контроллера, затем нажмите \"Поиск портов\" и подключитесь снова."));

    // The dead device is closed, the user can search and connect again,
    // and nothing is held.
    QCOMPARE(fakeCalls(QStringLiteral("ftxCloseDevice")), QStringList{"ftxCloseDevice(42)"});
    QVERIFY(!ftConnection().connected);
    QVERIFY(!ftConnection().transferAreaRunning);
    QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_2"}));
    QVERIFY(bindingList().held().isEmpty());

    // One box, and no more asking once the link is gone.
    fakeFtClearLog();
    QTest::qWait(500);
    QCOMPARE(closer->seen.size(), 1);
    QCOMPARE(fakeCalls(QStringLiteral("GetComStatus")), QStringList());
    bindingList().handleKey('A', false);
    QCOMPARE(fakeCalls(), QStringList());
}
