// SPDX-License-Identifier: GPL-3.0-or-later
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"
#include "tests/platformfiles.h"
#include "tests/fakecalls.h"
#include "tests/testsupport.h"

namespace {

const QString usbPort = QStringLiteral("/dev/ttyACM0 ROBO TX Controller");
const QString btPort = QStringLiteral("/dev/rfcomm0 Bluetooth");
const QString txtPort = QStringLiteral("192.168.7.2 ROBOTICS TXT (USB)");

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
    void slowConnect_data();
    void slowConnect();
    void busyPortNamesItsHolder_data();
    void busyPortNamesItsHolder();

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
    QVERIFY(waitForConnectionPanel(*window));
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
             (QStringList{"ftxOpenComDevice(\"/dev/ttyACM0\", 38400, 0)", "ftxGetDeviceKind(42)", "ftxStartTransferArea(42)",
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
    // The earlier search's items stay in the box, which takes a typed
    // address as well; "Подключиться" waits for a text.
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    QCOMPARE(combo->currentText(), usbPort);
    QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_2"}));
    combo->lineEdit()->clear();
    QCOMPARE(enabledPanel(), QStringList{"comboBox"});
    QTest::keyClicks(combo->lineEdit(), QStringLiteral(" "));
    QCOMPARE(enabledPanel(), QStringList{"comboBox"});
    QTest::keyClicks(combo->lineEdit(), QStringLiteral("1"));
    QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_2"}));
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
    QTest::newRow("TXT") << txtPort << "192.168.7.2";
    // Typed into the box, where the search found nothing.
    QTest::newRow("typed address") << "+192.168.10.171" << "192.168.10.171";
    QTest::newRow("typed with blanks around") << "+  192.168.10.171:65000 " << "192.168.10.171:65000";
    QTest::newRow("typed with a description") << "+txt.local ROBOTICS TXT" << "txt.local";
}

void TestFtConnection::connectPassesPortBeforeBlank()
{
    QFETCH(QString, port);
    QFETCH(QString, passed);
    const bool typed = port.startsWith(QLatin1Char('+'));
    fakeSetPorts(typed ? QStringList() : QStringList{port});
    click("pushButton");
    if (typed) {
        QCOMPARE(closer->seen.size(), 1); // nothing found
        auto *edit = window->findChild<QComboBox *>(QStringLiteral("comboBox"))->lineEdit();
        edit->setFocus();
        QTest::keyClicks(edit, port.mid(1));
    }
    fakeFtClearLog();
    click("pushButton_2");
    // What was opened is asked once, of the device the open returned.
    QCOMPARE(fakeCalls(), (QStringList{QStringLiteral("ftxOpenComDevice(\"%1\", 38400, 0)").arg(passed),
                                       QStringLiteral("ftxGetDeviceKind(1)")}));
    // Connected through a typed address that no search found: the panel
    // offers its buttons all the same, and the box takes nothing typed.
    QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_3", "pushButton_4"}));
    QVERIFY(window->findChild<QComboBox *>(QStringLiteral("comboBox"))->lineEdit()->isReadOnly());
    click("pushButton_4");
    QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_3", "pushButton_5"}));
}

void TestFtConnection::failures_data()
{
    QTest::addColumn<QString>("entry"); // the port list's
    QTest::addColumn<QString>("entryPoint");
    QTest::addColumn<uint>("status");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("why"); // the box's additional text

    const QString notConnected = QStringLiteral("Не удалось подключиться к контроллеру через \"/dev/ttyACM0 ROBO TX Controller\"");
    QTest::newRow("connect: no such port") << usbPort << "ftxOpenComDevice" << uint(FTLIB_ERR_OPEN_COM) << "pushButton_2" << notConnected
        << "Порт /dev/ttyACM0 не найден или не открывается: контроллер отключён, или это не последовательный порт.";
    QTest::newRow("connect: no permission") << usbPort << "ftxOpenComDevice" << uint(FTLIB_ERR_ACCESS_DENIED) << "pushButton_2" << notConnected
        << "Нет прав на порт /dev/ttyACM0. Добавьте пользователя в группу dialout (sudo usermod -aG dialout $USER) и "
           "войдите в систему заново, или установите пакет Kavrik: его правило udev даёт доступ к контроллеру на USB.";
    QTest::newRow("connect: no answer") << usbPort << "ftxOpenComDevice" << uint(FTLIB_ERR_INIT_COM_TIMEOUT) << "pushButton_2" << notConnected
        << "Контроллер на порту /dev/ttyACM0 не ответил. Включён ли он, и тот ли это порт?";
    QTest::newRow("connect: not a controller") << usbPort << "ftxOpenComDevice" << uint(FTLIB_ERR_INIT_COM) << "pushButton_2" << notConnected
        << "На порту /dev/ttyACM0 отвечает не контроллер ROBO TX: пришли неожиданные данные.";
    QTest::newRow("connect: port in use") << usbPort << "ftxOpenComDevice" << uint(FTLIB_ERR_DEVICE_IS_OPEN) << "pushButton_2" << notConnected
        << "Порт /dev/ttyACM0 занят другой программой.";
    // A TXT's address: the network's reasons.
    const auto txtRow = [](const char *name, const QString &entry, quint32 status, const char *why) {
        QTest::newRow(name) << entry << "ftxOpenComDevice" << uint(status) << "pushButton_2"
                            << QStringLiteral("Не удалось подключиться к контроллеру через \"%1\"").arg(entry)
                            << QString::fromUtf8(why);
    };
    const QString elsewhere = QStringLiteral("192.168.10.171:65010");
    txtRow("TXT: name unknown", "txt.local", FTLIB_ERR_HOST_UNKNOWN,
           "Имя txt.local не найдено в сети: проверьте, как написан адрес контроллера TXT.");
    txtRow("TXT: nothing listens", elsewhere, FTLIB_ERR_CONNECTION_REFUSED,
           "По адресу 192.168.10.171 никто не принимает соединений на порту 65010: контроллер TXT выключен или "
           "занят другой программой, а на TXT 4.0 не запущен ftrobopy_server.");
    txtRow("TXT: USB network down", txtPort, FTLIB_ERR_HOST_UNREACHABLE,
           "Сеть USB контроллера TXT недоступна (192.168.7.2): TXT не подключён кабелем USB, или компьютер ещё не "
           "получил в этой сети адрес 192.168.7.1.");
    txtRow("TXT: WLAN not joined", "192.168.8.2 ROBOTICS TXT (WLAN)", FTLIB_ERR_HOST_UNREACHABLE,
           "Сеть WLAN контроллера TXT недоступна (192.168.8.2): компьютер не подключён к точке доступа TXT.");
    txtRow("TXT: Bluetooth not joined", "192.168.9.2 ROBOTICS TXT (Bluetooth)", FTLIB_ERR_HOST_UNREACHABLE,
           "Сеть Bluetooth контроллера TXT недоступна (192.168.9.2): соединение Bluetooth (PAN) с TXT не "
           "установлено.");
    txtRow("TXT: no route", elsewhere, FTLIB_ERR_HOST_UNREACHABLE,
           "Пути в сеть адреса 192.168.10.171 нет: компьютер не подключён к сети, в которой находится контроллер TXT.");
    txtRow("TXT: no answer", txtPort, FTLIB_ERR_INIT_COM_TIMEOUT,
           "Контроллер TXT по адресу 192.168.7.2 не ответил за 2 с. Включён ли он, и тот ли это адрес?");
    txtRow("TXT: something else answers", elsewhere, FTLIB_ERR_INIT_COM,
           "По адресу 192.168.10.171:65010 отвечает не контроллер TXT в режиме онлайн: пришли неожиданные данные.");
    QTest::newRow("disconnect") << usbPort << "ftxCloseDevice" << uint(FTLIB_ERR_FAILED) << "pushButton_3" << "Не удалось отключиться от контроллера" << "";
    QTest::newRow("start") << usbPort << "ftxStartTransferArea" << uint(FTLIB_ERR_FAILED) << "pushButton_4" << "Не удалось запустить Transfer Area" << "";
    QTest::newRow("stop") << usbPort << "ftxStopTransferArea" << uint(FTLIB_ERR_FAILED) << "pushButton_5" << "Не удалось остановить Transfer Area" << "";
}

void TestFtConnection::failures()
{
    QFETCH(QString, entry);
    QFETCH(QString, entryPoint);
    QFETCH(uint, status);
    QFETCH(QString, button);
    QFETCH(QString, message);
    QFETCH(QString, why);

    fakeSetPorts({entry});
    click("pushButton");
    // Walk up to the state in which the button is enabled.
    if (button != QLatin1String("pushButton_2"))
        click("pushButton_2");
    if (button == QLatin1String("pushButton_5"))
        click("pushButton_4");

    const FtConnection before = ftConnection();
    const QStringList enabledBefore = enabledPanel();
    if (entryPoint == QLatin1String("ftxOpenComDevice"))
        fakeFtSetOpenResult(77, status);
    else
        fakeFtSetResult(entryPoint.toLatin1().constData(), status);
    QVERIFY(window->findChild<QPushButton *>(button)->isEnabled());
    click(button.toLatin1().constData());

    QCOMPARE(closer->seen.size(), 1);
    QCOMPARE(closer->seen.at(0).title, QStringLiteral("Ошибка"));
    QCOMPARE(closer->seen.at(0).text, message);
    QCOMPARE(closer->seen.at(0).why, why);
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

void TestFtConnection::slowConnect_data()
{
    QTest::addColumn<QString>("then"); // what happens while the library opens
    QTest::newRow("waited for") << "wait";
    QTest::newRow("cancelled with \"Отключиться\"") << "cancel";
    QTest::newRow("window closed") << "close";
    // The open has returned and its result waits in the window's queue.
    QTest::newRow("cancelled after the open returned") << "late cancel";
    QTest::newRow("window closed after the open returned") << "late close";
}

// A controller that takes its time to answer: the window keeps answering,
// the panel offers only the way out, and the end is as without the wait.
void TestFtConnection::slowConnect()
{
    QFETCH(QString, then);
    fakeSetPorts({usbPort});
    click("pushButton");
    fakeFtSetOpenResult(42, FTLIB_ERR_SUCCESS);
    fakeFtSetOpenDelay(600);
    const QStringList before = enabledPanel();
    LoopPauses pauses;

    window->findChild<QPushButton *>(QStringLiteral("pushButton_2"))->click();
    QVERIFY(window->connectionBusy());
    QCOMPARE(enabledPanel(), QStringList{"pushButton_3"});
    QVERIFY(!window->findChild<QPushButton *>(QStringLiteral("pushButton"))->isEnabled());
    QVERIFY(QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::BusyCursor);
    QTest::qWait(300);
    // The event loop turned all the while: the open alone takes 600 ms.
    QVERIFY2(pauses.longestMs() < 300, qPrintable(QString::number(pauses.longestMs())));
    if (then.startsWith(QLatin1String("late "))) {
        QThread::msleep(1000);
        then.remove(0, 5);
    }

    if (then == "wait") {
        QVERIFY(waitForConnectionPanel(*window));
        QVERIFY(ftConnection().connected);
        QCOMPARE(enabledPanel(), (QStringList{"comboBox", "pushButton_3", "pushButton_4"}));
    } else if (then == "cancel") {
        click("pushButton_3");
        QVERIFY(!window->connectionBusy());
        QCOMPARE(enabledPanel(), before);
        QVERIFY(!ftConnection().connected);
        // The port the library opened after all is given back.
        QTRY_COMPARE(fakeCalls(QStringLiteral("ftxCloseDevice")), QStringList{"ftxCloseDevice(42)"});
        QVERIFY(!ftConnection().connected);
    } else {
        window->close();
        delete window;
        window = nullptr;
        QCOMPARE(fakeCalls(QStringLiteral("ftxCloseDevice")), QStringList{"ftxCloseDevice(42)"});
        window = new MainWindow;
    }
    QVERIFY(!QApplication::overrideCursor());
    QCOMPARE(closer->seen.size(), 0);
}

void TestFtConnection::busyPortNamesItsHolder_data()
{
    QTest::addColumn<uint>("status");
    QTest::addColumn<QString>("why"); // %1 the port, %2 the holder
    QTest::newRow("in use") << uint(FTLIB_ERR_DEVICE_IS_OPEN) << "Порт %1 занят другой программой: %2.";
    // Opened before, without taking the port for itself: it may read the
    // answers away.
    QTest::newRow("no answer") << uint(FTLIB_ERR_INIT_COM_TIMEOUT)
                               << "Контроллер на порту %1 не ответил: порт открыт ещё и в другой программе, она "
                                  "может забирать его ответы: %2. Закройте её и подключитесь снова.";
}

// The reason names the program that holds the port, as the system shows it,
// by its whole name (the kernel keeps 15 characters of it).
void TestFtConnection::busyPortNamesItsHolder()
{
    QFETCH(uint, status);
    QFETCH(QString, why);
    if (!posixFiles())
        QSKIP("the processes that hold a file are known from /proc; Windows names none without administrator rights");
    QTemporaryDir dir;
    const QString port = dir.filePath(QStringLiteral("ttyACM9"));
    QFile file(port);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString program = dir.filePath(QStringLiteral("port-reader-with-a-long-name"));
    QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), program));
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
    QProcess holder;
    holder.setStandardInputFile(port);
    holder.start(program, {QStringLiteral("30")});
    QVERIFY(holder.waitForStarted());
    const qint64 pid = holder.processId();

    fakeSetPorts({port + QStringLiteral(" ROBO TX Controller")});
    click("pushButton");
    fakeFtSetOpenResult(0, status);
    click("pushButton_2");
    holder.kill();
    holder.waitForFinished();
    QCOMPARE(closer->seen.size(), 1);
    QCOMPARE(closer->seen.at(0).why,
             why.arg(port, QStringLiteral("port-reader-with-a-long-name (pid %1)").arg(pid)));
}

void TestFtConnection::linkLostWhileRunning_data()
{
    QTest::addColumn<quint32>("closeResult");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<quint32>("status"); // GetComStatus's
    QTest::addColumn<QString>("why");    // the box's additional text
    // What ftxGetDeviceKind says: a kind, 0 when it cannot tell, -1 when the
    // library has no such entry point.
    QTest::addColumn<int>("kind");
    const QString silent = QStringLiteral("Контроллер перестал отвечать: на линии тишина.");
    const QString outOfStep = QStringLiteral("Контроллер TXT отвечает невпопад: его ответы не подходят к запросам.");
    QTest::newRow("dead device closes") << quint32(FTLIB_ERR_SUCCESS) << btPort << quint32(FTLIB_ERR_TIMEOUT_TA)
                                        << silent << 0;
    QTest::newRow("dead device fails to close") << quint32(FTLIB_ERR_TIMEOUT_TA) << btPort
                                                << quint32(FTLIB_ERR_TIMEOUT_TA) << silent << 0;
    // A silent TXT and a closed connection are seen end to end; this one
    // the simulator does not play.
    QTest::newRow("TXT out of step") << quint32(FTLIB_ERR_SUCCESS) << txtPort << quint32(FTLIB_ERR_INIT_COM)
                                     << outOfStep << 0;
    // The library's word on what it opened counts, not the port's name.
    QTest::newRow("library says TXT on a serial port") << quint32(FTLIB_ERR_SUCCESS) << btPort
                                                       << quint32(FTLIB_ERR_INIT_COM) << outOfStep
                                                       << int(FT_DEVICE_ROBOTICS_TXT);
    QTest::newRow("library says ROBO TX at an address") << quint32(FTLIB_ERR_SUCCESS) << txtPort
                                                        << quint32(FTLIB_ERR_TIMEOUT_TA) << silent
                                                        << int(FT_DEVICE_ROBO_TX);
    QTest::newRow("no kind entry point: the name says TXT") << quint32(FTLIB_ERR_SUCCESS) << txtPort
                                                            << quint32(FTLIB_ERR_INIT_COM) << outOfStep << -1;
}

void TestFtConnection::linkLostWhileRunning()
{
    QFETCH(quint32, closeResult);
    QFETCH(QString, entry);
    QFETCH(quint32, status);
    QFETCH(QString, why);
    QFETCH(int, kind);

    fakeDeviceKind(kind);
    fakeSetPorts({usbPort, entry});
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
    fakeFtSetResult("GetComStatus", status);
    QElapsedTimer shown;
    shown.start();
    QTRY_COMPARE_WITH_TIMEOUT(closer->seen.size(), 1, 1000);
    QVERIFY(shown.elapsed() < 1000);
    QCOMPARE(closer->seen.at(0).title, QStringLiteral("Ошибка"));
    QCOMPARE(closer->seen.at(0).icon, QMessageBox::Critical);
    QCOMPARE(closer->seen.at(0).text,
             QStringLiteral("Связь с контроллером через \"%1\" потеряна. Проверьте кабель и питание "
                            "контроллера, затем нажмите \"Поиск портов\" и подключитесь снова.")
                 .arg(entry));
    QCOMPARE(closer->seen.at(0).why, why);

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

QTEST_MAIN(TestFtConnection)
#include "tst_ftconnection.moc"
