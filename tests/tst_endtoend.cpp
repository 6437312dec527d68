// SPDX-License-Identifier: GPL-3.0-or-later
// The whole chain without hardware: the program's main window, the real
// controller library and a headless simulated controller, a ROBO TX on a pty
// or a ROBOTICS TXT on TCP.
#include <csignal>
#include <memory>
#include <optional>

#include <sys/resource.h>

#include <SDL.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "bindings/rowmarks.h"
#include "common/processobjects.h"
#include "control/gamepads.h"
#include "control/padinputs.h"
#include "controller/ftconnection.h"
#include "editor/formeditor.h"
#include "tests/simprocess.h"
#include "tests/testcgroup.h"
#include "tests/testsupport.h"
#include "tests/virtualpad.h"

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void driveSimulatedMotor_data();
    void driveSimulatedMotor();
    void listChangeWhileHeld();
    void linkLossShownWithinASecond_data();
    void linkLossShownWithinASecond();
    void stopOnSilentController_data();
    void stopOnSilentController();
    void signalEndsDrive_data();
    void signalEndsDrive();
    void padDrivesLikeAKey_data();
    void padDrivesLikeAKey();

private:
    // Search, connect to the simulator and start, as a user does.
    bool connectAndStart(MainWindow &w, SimProcess &sim);

    QTemporaryDir simDir;
};

namespace {

void click(MainWindow &w, const char *name)
{
    w.findChild<QPushButton *>(QLatin1String(name))->click();
}

void pressD(MainWindow &w, bool press)
{
    QKeyEvent event = platformKeyEvent(press ? QEvent::KeyPress : QEvent::KeyRelease, Qt::Key_D, 40, 0x64,
                                  QStringLiteral("d"));
    QApplication::sendEvent(&w, &event);
}

// A TXT on this machine's loopback, announced for the port search.
const QStringList txtSimulator{"--txt", "127.0.0.1:0"};
// The id of StopOnline, as the simulator logs a TXT's frames.
constexpr qint64 stopOnlineId = 0x9BE5082C;
// signalEndsDrive: not a signal of the program's but the kill of its cgroup.
constexpr int kCgroupKill = -1;

// As the window system delivers a key: to the window, which hands it to
// the widget with the keyboard focus.
void typeIntoWindow(MainWindow &w, const QString &text)
{
    for (const QChar c : text)
        QTest::keyClick(w.windowHandle(), c.toLatin1());
}

void keyToWindow(MainWindow &w, QEvent::Type type, int key, quint32 scanCode, quint32 keysym)
{
    QKeyEvent event = platformKeyEvent(type, key, scanCode, keysym, QString());
    QApplication::sendEvent(w.windowHandle(), &event);
}

// The index of the first event from `from` on that matches, -1 for none.
int eventIndex(SimProcess &sim, const std::function<bool(const QJsonObject &)> &match, int from = 0)
{
    sim.readLines();
    for (int i = from; i < sim.events.size(); ++i) {
        if (match(sim.events[i]))
            return i;
    }
    return -1;
}

// The pads' input reaches the window through its event loop.
QJsonObject waitWhileHandlingEvents(SimProcess &sim, const std::function<bool(const QJsonObject &)> &match, int ms,
                                    int from)
{
    QElapsedTimer timer;
    timer.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        const QJsonObject found = sim.waitFor(match, 2, from);
        if (!found.isEmpty())
            return found;
    } while (timer.elapsed() < ms);
    return {};
}

} // namespace

bool TestEndToEnd::connectAndStart(MainWindow &w, SimProcess &sim)
{
    return startOnSimulator(w, sim.port)
        && !sim.waitFor([](const QJsonObject &e) { return e["event"] == "config"; }, 3000).isEmpty();
}

void TestEndToEnd::initTestCase()
{
    QVERIFY(simDir.isValid());
    // The children killed with fatal signals leave no core files behind.
    const rlimit noCore{0, 0};
    QCOMPARE(::setrlimit(RLIMIT_CORE, &noCore), 0);
    // The library's port search looks for simulators here; this run's own.
    qputenv("KAVRIK_SIM_DIR", simDir.path().toLocal8Bit());
    // ...and asks no TXT on this machine's own network.
    qputenv("KAVRIK_FTLIB_TXT_SEARCH", "0");
}

void TestEndToEnd::init()
{
    // The device of a test before is still open in the library.
    if (ftConnection().connected)
        ftConnection().closeDevice();
    resetProgramState();
}

void TestEndToEnd::cleanup()
{
    QCOMPARE(visibleTopLevelWindows(), QStringList());
}

void TestEndToEnd::driveSimulatedMotor_data()
{
    QTest::addColumn<QStringList>("simulator"); // its options besides --headless
    QTest::addColumn<QString>("entry");         // how the port search lists it, after its port
    QTest::addColumn<QString>("typed");         // typed into the port box (%1 its port) instead
    QTest::addColumn<QString>("extension3");    // the tips of a row on Extension 3, once connected,
    QTest::addColumn<QString>("extension1");    // ... of a row on Extension 1, then once running
    QTest::addColumn<QString>("running1");

    const QString offTheBus = QStringLiteral("Расширения %1 нет на шине контроллера: эта привязка сейчас ничего не двигает.");
    const QString notReported = QStringLiteral("Контроллер TXT не сообщил о расширении 1 (он сообщает о нём после "
                                               "\"Старт\"): эта привязка сейчас ничего не двигает.");
    const QString oneExtension = QStringLiteral("Контроллер TXT берёт только одно расширение: расширения 3 у него "
                                                "нет, эта привязка ничего не двигает.");
    QTest::newRow("ROBO TX") << QStringList() << " ROBO TX simulator" << "" << offTheBus.arg(3) << offTheBus.arg(1)
                             << offTheBus.arg(1);
    // The TXT tells of its extension once the transfer runs; the table
    // follows without a key pressed.
    QTest::newRow("ROBOTICS TXT with Extension 1")
        << txtSimulator + QStringList{"--extensions", "1", "--log-frames"} << " ROBOTICS TXT simulator" << ""
        << oneExtension << notReported << "";
    QTest::newRow("ROBOTICS TXT typed, without extension")
        << txtSimulator + QStringList{"--log-frames"} << " ROBOTICS TXT simulator" << "  %1 " << oneExtension
        << notReported << notReported;
}

void TestEndToEnd::driveSimulatedMotor()
{
    QFETCH(QStringList, simulator);
    QFETCH(QString, entry);
    QFETCH(QString, typed);
    QFETCH(QString, extension3);
    QFETCH(QString, extension1);
    QFETCH(QString, running1);
    const bool txt = simulator.contains(QStringLiteral("--txt"));
    const bool extension = simulator.contains(QStringLiteral("--extensions"));

    SimProcess sim;
    QVERIFY(sim.start(simulator, simDir.path()));

    ModalCloser closer;
    MainWindow w;
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(closer.seen.size(), 0); // the library passed the start-up check

    auto click = [&](const char *name) {
        w.findChild<QPushButton *>(QLatin1String(name))->click();
        QVERIFY(waitForConnectionPanel(w));
    };
    // Bindings for extensions: dimmed where the controller has none, with
    // why, as soon as it is connected.
    bindingList().append(makeBinding(QStringLiteral("e"), 'E', 3, 0, false, 200));
    bindingList().append(makeBinding(QStringLiteral("f"), 'F', 1, 2, false, 300));
    bindingList().append(makeBinding(QStringLiteral("d"), 'D', 0, 1, true, 400));
    bindingList().append(makeBinding(QStringLiteral("↑"), 0x26, 0, 0, true, 250));
    w.updateBindingsTable();
    auto *table = w.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    QCOMPARE(table->item(0, 1)->toolTip(), QString());
    click("pushButton");
    auto *ports = w.findChild<QComboBox *>(QStringLiteral("comboBox"));
    const int simulatorEntry = ports->findText(sim.port + entry);
    QVERIFY2(simulatorEntry >= 0, qPrintable(ftConnection().portNames.join(QLatin1Char(','))));
    if (typed.isEmpty()) {
        ports->setCurrentIndex(simulatorEntry);
    } else {
        // Typed as a user does, into the box clicked first.
        QTest::mouseClick(ports->lineEdit(), Qt::LeftButton);
        QVERIFY(ports->lineEdit()->hasFocus());
        ports->lineEdit()->selectAll();
        typeIntoWindow(w, typed.arg(sim.port));
        QCOMPARE(ports->currentText(), typed.arg(sim.port));
    }
    click("pushButton_2");
    QVERIFY(ftConnection().connected);
    QCOMPARE(ftConnection().connectedPort, typed.isEmpty() ? sim.port + entry : sim.port);
    QCOMPARE(table->item(0, 1)->toolTip(), extension3);
    QCOMPARE(table->item(1, 1)->toolTip(), extension1);
    click("pushButton_4");
    QVERIFY(ftConnection().transferAreaRunning);
    QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "config"; }, 3000).isEmpty());
    if (running1 != extension1)
        QTRY_COMPARE_WITH_TIMEOUT(table->item(1, 1)->toolTip(), running1, 2000);
    else if (txt) // the link is checked twice in that time
        QTest::qWait(400);
    QCOMPARE(table->item(1, 1)->toolTip(), running1);

    // The keys reach the window, and the box it was typed into takes them
    // no more, clicked or not.
    QTest::mouseClick(ports->lineEdit(), Qt::LeftButton);
    QVERIFY(!QApplication::focusWidget());
    // The rows above on the Master and Extension 1; the arrow the box
    // would take to move through its entries.
    struct {
        int row, key;
        quint32 scanCode, keysym;
        int ta, out, duty;
    } const keys[] = {{2, Qt::Key_D, 40, 0x64, 0, 3, 400}, {3, Qt::Key_Up, 111, 0xff52, 0, 1, 250},
                      {1, Qt::Key_F, 41, 0x66, 1, 4, 300}};
    for (const auto &k : keys) {
        if (k.ta > 0 && !extension)
            continue;
        keyToWindow(w, QEvent::KeyPress, k.key, k.scanCode, k.keysym);
        QVERIFY2(!sim.waitOutput(k.ta, k.out, k.duty).isEmpty(), qPrintable(QString::number(k.row)));
        QVERIFY(table->item(k.row, 0)->data(drivingRole).toBool());
        const qint64 releasedAt = monotonicMicroseconds();
        keyToWindow(w, QEvent::KeyRelease, k.key, k.scanCode, k.keysym);
        const QJsonObject stopped = sim.waitOutput(k.ta, k.out, 0);
        QVERIFY(!stopped.isEmpty());
        // In the next exchange, some 10 ms later.
        const qint64 afterUs = stopped["t_us"].toVariant().toLongLong() - releasedAt;
        QVERIFY2(afterUs <= 100000, qPrintable(QStringLiteral("0 after %1 us").arg(afterUs)));
        QVERIFY(!table->item(k.row, 0)->data(drivingRole).toBool());
    }
    QCOMPARE(ports->currentText(), typed.isEmpty() ? sim.port + entry : typed.arg(sim.port));

    // "Стоп", then "Отключиться", each with a key held: the TXT gets zeros,
    // then StopOnline, and the connection closes.
    for (const char *button : {"pushButton_5", "pushButton_3"}) {
        if (!ftConnection().transferAreaRunning)
            click("pushButton_4");
        sim.readLines();
        const int mark = sim.events.size();
        pressD(w, true);
        QVERIFY(!sim.waitOutput(0, 3, 400).isEmpty());
        click(button);
        QVERIFY2(!sim.waitOutput(0, 3, 0).isEmpty(), button);
        const int zero = sim.seen - 1;
        if (txt) {
            QVERIFY(!sim.waitFor([](const QJsonObject &e) {
                return e["event"] == "connection" && e["state"] == "closed";
            }, 3000, mark).isEmpty());
            const int stopOnline = eventIndex(sim, [](const QJsonObject &e) {
                return e["event"] == "frame" && e["cmd"].toVariant().toLongLong() == stopOnlineId;
            }, zero);
            const int closed = eventIndex(sim, [](const QJsonObject &e) {
                return e["event"] == "connection" && e["state"] == "closed";
            }, mark);
            QVERIFY2(stopOnline > zero && closed > stopOnline, button);
        }
        pressD(w, false);
    }
    QVERIFY(!ftConnection().connected);
    QCOMPARE(table->item(0, 1)->toolTip(), QString());
    QVERIFY(!ports->lineEdit()->isReadOnly());
    QCOMPARE(closer.seen.size(), 0);
    w.close();
}

void TestEndToEnd::listChangeWhileHeld()
{
    SimProcess sim;
    QVERIFY(sim.start({"--watchdog", "0"}, simDir.path()));
    ModalCloser closer;
    MainWindow w;
    w.show();
    QVERIFY(connectAndStart(w, sim));
    bindingList().append(makeBinding(QStringLiteral("d"), 68, 0, 1, true, 400));
    w.buttonsChanged();

    pressD(w, true);
    QVERIFY(!sim.waitOutput(0, 3, 400).isEmpty());
    // The user deletes the held key's own row.
    w.findChild<QTableWidget *>(QStringLiteral("tableWidget"))->selectRow(0);
    click(w, "pushButton_8");
    QVERIFY(!sim.waitOutput(0, 3, 0).isEmpty());
    pressD(w, false);
    QVERIFY(bindingList().held().isEmpty());
    QCOMPARE(closer.seen.size(), 0);
    w.close();
}

void TestEndToEnd::linkLossShownWithinASecond_data()
{
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("why"); // the box's additional text
    QTest::newRow("cable pulled") << QStringList() << "hangup" << "Порт пропал: кабель отключён, или контроллер выключен.";
    QTest::newRow("controller silent") << QStringList() << "mute" << "Контроллер перестал отвечать: на линии тишина.";
    const QString gone = QStringLiteral("Соединение с контроллером TXT закрыто или сброшено: TXT выключен или "
                                        "перезапущен, или пропала его сеть (USB, WLAN, Bluetooth).");
    QTest::newRow("TXT silent") << txtSimulator << "mute" << "Контроллер TXT перестал отвечать: ответы не приходят.";
    QTest::newRow("TXT connection reset") << txtSimulator << "reset" << gone;
    QTest::newRow("TXT connection closed") << txtSimulator << "close" << gone;
}

void TestEndToEnd::linkLossShownWithinASecond()
{
    QFETCH(QStringList, simulator);
    QFETCH(QString, fault);
    QFETCH(QString, why);
    const bool txt = simulator.contains(QStringLiteral("--txt"));

    SimProcess sim;
    QVERIFY(sim.start(simulator, simDir.path()));
    ModalCloser closer;
    MainWindow w;
    w.show();
    QVERIFY(connectAndStart(w, sim));
    bindingList().append(makeBinding(QStringLiteral("d"), 68, 0, 1, true, 400));
    pressD(w, true);
    QVERIFY(!sim.waitOutput(0, 3, 400).isEmpty());

    QElapsedTimer sinceFault;
    sinceFault.start();
    QVERIFY(sim.command(fault));
    QTRY_COMPARE_WITH_TIMEOUT(closer.seen.size(), 1, 2000);
    QVERIFY2(sinceFault.elapsed() <= 1000, qPrintable(QString::number(sinceFault.elapsed())));
    QCOMPARE(closer.seen.at(0).title, QStringLiteral("Ошибка"));
    QVERIFY2(closer.seen.at(0).text.contains(sim.port), qPrintable(closer.seen.at(0).text));
    QCOMPARE(closer.seen.at(0).why, why);
    QVERIFY(!ftConnection().connected);
    QVERIFY(!ftConnection().transferAreaRunning);
    QVERIFY(bindingList().held().isEmpty());
    QVERIFY(w.findChild<QPushButton *>(QStringLiteral("pushButton_2"))->isEnabled());
    if (fault == "mute") {
        // A controller that still listens is told to stop before the
        // library gives up on it.
        QVERIFY(!sim.waitOutput(0, 3, 0, 100).isEmpty());
    }
    if (txt) {
        // The TXT is searched for and connected again; its first exchange
        // stops what a lost connection left driven.
        if (fault == "mute")
            QVERIFY(sim.command("unmute"));
        QVERIFY(startOnSimulator(w, sim.port));
        if (fault != "mute")
            QVERIFY(!sim.waitOutput(0, 3, 0).isEmpty());
        pressD(w, true);
        QVERIFY(!sim.waitOutput(0, 3, 400).isEmpty());
        pressD(w, false);
        QVERIFY(!sim.waitOutput(0, 3, 0).isEmpty());
        QCOMPARE(closer.seen.size(), 1);
    }
    w.close();
}

void TestEndToEnd::stopOnSilentController_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("message"); // the first box
    QTest::newRow("Стоп") << "pushButton_5" << "Не удалось остановить Transfer Area";
    QTest::newRow("Отключиться") << "pushButton_3" << "";
}

// The controller falls silent: the library's stop waits for answers that do
// not come, and the window keeps answering meanwhile; keys drive nothing.
void TestEndToEnd::stopOnSilentController()
{
    QFETCH(QString, button);
    QFETCH(QString, message);
    SimProcess sim;
    QVERIFY(sim.start({"--watchdog", "0"}, simDir.path()));
    ModalCloser closer;
    MainWindow w;
    w.show();
    QVERIFY(connectAndStart(w, sim));
    bindingList().append(makeBinding(QStringLiteral("d"), 68, 0, 1, true, 400));
    QVERIFY(sim.command("mute"));

    LoopPauses pauses;
    QElapsedTimer timer;
    timer.start();
    const qint64 clickedAt = monotonicMicroseconds();
    w.findChild<QPushButton *>(button)->click();
    QVERIFY(w.connectionBusy());
    pressD(w, true);
    QVERIFY(bindingList().held().isEmpty());
    QVERIFY(waitForConnectionPanel(w, 10000));
    const qint64 took = timer.elapsed();
    pressD(w, false);
    // The stop waited for several reply timeouts, and the window's event
    // loop kept turning all the while.
    QVERIFY2(took >= 300, qPrintable(QString::number(took)));
    QVERIFY2(pauses.longestMs() < took / 2,
             qPrintable(QStringLiteral("a pause of %1 ms in %2 ms").arg(pauses.longestMs()).arg(took)));
    // The muted controller still carries requests out: none drove.
    QCOMPARE(sim.count("output", [clickedAt](const QJsonObject &e) {
        return e["duty"].toInt() != 0 && e["t_us"].toVariant().toLongLong() > clickedAt;
    }), 0);
    QVERIFY(bindingList().held().isEmpty());
    if (message.isEmpty()) {
        QVERIFY(!ftConnection().connected);
        QCOMPARE(closer.seen.size(), 0);
    } else {
        QTRY_VERIFY(!closer.seen.isEmpty());
        QCOMPARE(closer.seen.at(0).text, message);
        // The reason follows once that box is closed, never stacked over it.
        QTRY_COMPARE(closer.seen.size(), 2);
        QVERIFY(closer.seen.at(1).text.startsWith(QStringLiteral("Связь с контроллером")));
    }
    w.close();
}

void TestEndToEnd::signalEndsDrive_data()
{
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<int>("signalNumber"); // 0: the process calls _exit(1); kCgroupKill: its cgroup killed
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("withinMs");
    QTest::addColumn<int>("burstPairs"); // SIGTSTP then SIGCONT, so many times back to back
    const int normal = QProcess::NormalExit, crash = QProcess::CrashExit;
    QTest::newRow("SIGTERM") << QStringList() << int(SIGTERM) << normal << 128 + SIGTERM << 500 << 0;
    QTest::newRow("SIGINT") << QStringList() << int(SIGINT) << normal << 128 + SIGINT << 500 << 0;
    QTest::newRow("SIGHUP") << QStringList() << int(SIGHUP) << normal << 128 + SIGHUP << 500 << 0;
    QTest::newRow("SIGQUIT") << QStringList() << int(SIGQUIT) << normal << 128 + SIGQUIT << 500 << 0;
    // Fatal: no exit code runs; the library's own handler stops the outputs.
    QTest::newRow("SIGSEGV") << QStringList() << int(SIGSEGV) << crash << int(SIGSEGV) << 500 << 0;
    QTest::newRow("SIGBUS") << QStringList() << int(SIGBUS) << crash << int(SIGBUS) << 500 << 0;
    QTest::newRow("SIGABRT") << QStringList() << int(SIGABRT) << crash << int(SIGABRT) << 500 << 0;
    // Nothing in the process runs at all: the library's guardian process
    // stops the outputs. _exit(1) is how the toolkit's Wayland plugin ends
    // the program when the compositor goes away.
    QTest::newRow("SIGKILL") << QStringList() << int(SIGKILL) << crash << int(SIGKILL) << 200 << 0;
    QTest::newRow("_exit(1)") << QStringList() << 0 << normal << 1 << 200 << 0;
    // A desktop ends a program's whole cgroup in one step (its scope's stop,
    // systemd-oomd): its guardians are not in it.
    for (int attempt = 1; attempt <= 3; ++attempt)
        QTest::addRow("its cgroup killed, %d", attempt) << QStringList() << kCgroupKill << crash << int(SIGKILL) << 200 << 0;
    // Job control: the outputs stop first, then the program; continued, it
    // drives nothing until a key is pressed anew, and SIGTERM ends it.
    QTest::newRow("SIGTSTP (Ctrl+Z)") << QStringList() << int(SIGTSTP) << normal << 128 + SIGTERM << 500 << 0;
    QTest::newRow("SIGTTIN") << QStringList() << int(SIGTTIN) << normal << 128 + SIGTERM << 500 << 0;
    QTest::newRow("SIGTTOU") << QStringList() << int(SIGTTOU) << normal << 128 + SIGTERM << 500 << 0;
    // A stop that a later SIGCONT has answered already stops nothing: once
    // the burst is over the program runs, driving nothing.
    QTest::newRow("2 SIGTSTP/SIGCONT pairs in a burst") << QStringList() << int(SIGTSTP) << normal << 128 + SIGTERM << 500 << 2;
    QTest::newRow("10 SIGTSTP/SIGCONT pairs in a burst") << QStringList() << int(SIGTSTP) << normal << 128 + SIGTERM << 500 << 10;
    QTest::newRow("50 SIGTSTP/SIGCONT pairs in a burst") << QStringList() << int(SIGTSTP) << normal << 128 + SIGTERM << 500 << 50;
    // A TXT gets the zeros, then StopOnline.
    const QStringList txt = txtSimulator + QStringList{"--log-frames"};
    QTest::newRow("SIGTERM, TXT") << txt << int(SIGTERM) << normal << 128 + SIGTERM << 500 << 0;
    QTest::newRow("SIGKILL, TXT") << txt << int(SIGKILL) << crash << int(SIGKILL) << 200 << 0;
    QTest::newRow("its cgroup killed, TXT") << txt << kCgroupKill << crash << int(SIGKILL) << 200 << 0;
    // A crash while the TXT's answer is 0.8 s late: the transfer gives the
    // link up meanwhile; the zeros follow that answer.
    QTest::newRow("SIGSEGV while an answer is late, TXT") << txt << int(SIGSEGV) << crash << int(SIGSEGV) << 1500 << 0;
}

void TestEndToEnd::signalEndsDrive()
{
    QFETCH(QStringList, simulator);
    QFETCH(int, signalNumber);
    QFETCH(int, exitStatus);
    QFETCH(int, exitCode);
    QFETCH(int, withinMs);
    QFETCH(int, burstPairs);

    SimProcess sim;
    QVERIFY(sim.start(simulator, simDir.path()));
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KAVRIK_SIM_DIR"), simDir.path());
    // In the sanitizer build AddressSanitizer would report the deliberate
    // fatal signal as a fault of its own.
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"), (asan.isEmpty() ? QString() : asan + QLatin1Char(':'))
                   + QStringLiteral("handle_segv=0:handle_sigbus=0:handle_abort=0"));
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QString why;
    const std::unique_ptr<TestCgroup> cgroup(signalNumber == kCgroupKill ? new TestCgroup(why) : nullptr);
    if (cgroup && cgroup->root.isEmpty())
        QSKIP(qPrintable(why));
    if (cgroup) {
        // In its cgroup before it opens anything, so its guardians start there.
        program.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo $$ > \"$0\" && exec \"$@\""),
                                             cgroup->procs(), QStringLiteral(HOLD_PROBE), sim.port});
    } else {
        program.start(QStringLiteral(HOLD_PROBE), {sim.port});
    }
    QVERIFY(program.waitForStarted(5000));
    QVERIFY(program.waitForReadyRead(10000));
    QCOMPARE(program.readLine().trimmed(), QByteArray("driving"));
    QVERIFY(!sim.waitOutput(0, 3, 400).isEmpty());

    const bool late = QString::fromLatin1(QTest::currentDataTag()).contains(QLatin1String("answer is late"));
    if (late) {
        QVERIFY(sim.command(QStringLiteral("latency 800")));
        QTest::qWait(450);
    }
    const pid_t pid = static_cast<pid_t>(program.processId());
    const qint64 sentAt = monotonicMicroseconds();
    if (burstPairs > 0) {
        for (int pair = 0; pair < burstPairs; ++pair)
            QVERIFY(::kill(pid, SIGTSTP) == 0 && ::kill(pid, SIGCONT) == 0);
    } else if (cgroup) {
        QVERIFY(cgroup->kill());
    } else if (signalNumber != 0) {
        QCOMPARE(::kill(pid, signalNumber), 0);
    } else {
        QVERIFY(program.write("_exit\n") > 0 && program.waitForBytesWritten(1000));
    }
    const QJsonObject stopped = sim.waitOutput(0, 3, 0, 2000);
    QVERIFY(!stopped.isEmpty());
    const qint64 afterUs = stopped["t_us"].toVariant().toLongLong() - sentAt;
    QVERIFY2(afterUs <= withinMs * 1000, qPrintable(QStringLiteral("0 after %1 us").arg(afterUs)));
    // Where the answer owed is later than anybody waits for it, the zeros go
    // before it, and the TXT leaves the StopOnline after them unanswered.
    if (simulator.contains(QStringLiteral("--txt")) && !late) {
        QVERIFY(!sim.waitFor([](const QJsonObject &e) {
            return e["event"] == "frame" && e["cmd"].toVariant().toLongLong() == stopOnlineId;
        }, 2000).isEmpty());
    }
    if (signalNumber == SIGTSTP || signalNumber == SIGTTIN || signalNumber == SIGTTOU) {
        const auto state = [pid] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
            return line.mid(line.lastIndexOf(')') + 2, 1);
        };
        if (burstPairs == 0) {
            QTRY_COMPARE_WITH_TIMEOUT(state(), QByteArray("T"), 2000);
            QCOMPARE(::kill(pid, SIGCONT), 0);
            // The transfer runs again (its configuration goes out first).
            QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "config"; }, 2000).isEmpty());
            sim.waitFor([](const QJsonObject &) { return false; }, 300);
        } else {
            // Its last SIGCONT sent, nothing may stop it again: a stop taken
            // for unanswered would, within milliseconds.
            QVERIFY2(!waitUntil([&state] { return state() == QByteArray("T"); }, 500),
                     "stopped after the burst's last SIGCONT");
            const int frames = sim.status()["frames"].toInt();
            sim.waitFor([](const QJsonObject &) { return false; }, 100);
            QVERIFY2(sim.status()["frames"].toInt() > frames, "the transfer does not run");
        }
        // Continued, it drives nothing.
        QCOMPARE(sim.count("output", [&stopped](const QJsonObject &e) {
            return e["duty"].toInt() != 0 && e["t_us"].toVariant().toLongLong() > stopped["t_us"].toVariant().toLongLong();
        }), 0);
        QCOMPARE(::kill(pid, SIGTERM), 0);
    }
    QVERIFY(program.waitForFinished(5000));
    QCOMPARE(int(program.exitStatus()), exitStatus);
    QCOMPARE(program.exitCode(), exitCode);
}

void TestEndToEnd::padDrivesLikeAKey_data()
{
    // Bound on the Master at speed 400: pad A to output 3, the right trigger
    // to 5, the left stick up to 7; B on Extension 1's output 3 at 300. With
    // end switches: key D to the Master's output 1 at 400, stopped by I3;
    // key S to output 0 (M1 the other way) at 300, by I4; pad X to output 2
    // at 400, by I5; key E to Extension 1's output 1 at 300, by its I2.
    // Steps: "A 1" pad 1's A down, "2:A 0"
    // pad 2's up; "LS↑ 50" the stick at half its travel; "plug" pad 2 comes
    // ("plug A": with A held); "key D 1" key D pressed, "key D 0" let go;
    // "close 3" the Master's I3 closed, "open x2" Extension 1's I2 opened;
    // "tip 4 I3" row 4 is marked stopped at I3 ("tip 4 -": not marked);
    // "=3 175" the Master's output 3 gets 175 ("=x3" Extension 1's), "=3 0 20"
    // within 20 ms of the last unplug or switch; "~3" output 3 gets nothing
    // new for a while;
    // "away" and "back": another window takes the keyboard and gives it
    // back; "add" opens the editor, "field Pad A" its key field shows that
    // (and names the pad), "done" closes it.
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<QString>("script");
    QTest::newRow("button") << QStringList() << "A 1; =3 400; A 0; =3 0";
    QTest::newRow("stick in proportion") << QStringList() << "LS↑ 5; ~7; LS↑ 50; =7 175; LS↑ 100; =7 400; LS↑ 0; =7 0";
    QTest::newRow("trigger in proportion") << QStringList() << "RT 50; =5 175; RT 0; =5 0";
    QTest::newRow("unplugged while a button, a trigger and a stick drive")
        << QStringList() << "A 1; RT 100; LS↑ 100; =3 400; =5 400; =7 400; unplug; =3 0 20; =5 0 20; =7 0 20";
    QTest::newRow("focus lost, held across its return")
        << QStringList() << "A 1; LS↑ 100; =3 400; =7 400; away; =3 0; =7 0; LS↑ 80; back; LS↑ 100; ~7; ~3; A 0; A 1; =3 400; A 0; =3 0";
    QTest::newRow("two pads on one input") << QStringList() << "plug; A 1; =3 400; 2:A 1; A 0; ~3; 2:A 0; =3 0";
    QTest::newRow("held as the pad came") << QStringList() << "plug A; ~3; 2:A 0; 2:A 1; =3 400; 2:A 0; =3 0";
    QTest::newRow("editor takes fresh presses")
        << QStringList() << "A 1; =3 400; add; =3 0; field Введите...; B 1; field Pad B; A 0; A 1; field Pad A; LS↑ 60; field Pad LS↑; "
           "done; LS↑ 100; ~7; ~3";
    QTest::newRow("a TXT's Master and Extension 1, unplugged while both drive")
        << (txtSimulator + QStringList{"--extensions", "1"})
        << "A 1; B 1; RT 100; =3 400; =x3 300; =5 400; A 0; =3 0; unplug; =x3 0 20; =5 0 20";
    // The library stops the output in the exchange after the one whose
    // answer shows the switch closed: within two exchanges of 10 ms and
    // the time the news takes to come back from the simulator.
    QTest::newRow("key stopped at its end switch, driven back off it")
        << QStringList() << "key D 1; =1 400; close 3; =1 0 40; tip 4 I3; key D 0; key S 1; =0 300; key S 0; =0 0; "
                            "key D 1; ~1; open 3; =1 400 40; tip 4 -; key D 0; =1 0";
    QTest::newRow("released while the switch is closed stays stopped")
        << QStringList() << "key D 1; =1 400; close 3; =1 0 40; key D 0; open 3; ~1; key D 1; =1 400; key D 0; =1 0";
    QTest::newRow("pressed while the switch is closed drives nothing")
        << QStringList() << "close 3; tip 4 I3; key D 1; ~1; open 3; =1 400 40; key D 0; =1 0";
    QTest::newRow("pad input stopped at its end switch")
        << QStringList() << "X 1; =2 400; close 5; =2 0 40; tip 6 I5; X 0; open 5; ~2; X 1; =2 400; X 0; =2 0";
    QTest::newRow("a TXT's Master and Extension 1 stopped at their end switches")
        << (txtSimulator + QStringList{"--extensions", "1"})
        << "key E 1; =x1 300; close x2; =x1 0 40; tip 7 I2; open x2; =x1 300 40; key E 0; =x1 0; "
           "key D 1; =1 400; close 3; =1 0 40; key D 0; key S 1; =0 300; key S 0; =0 0; open 3; ~1";
}

void TestEndToEnd::padDrivesLikeAKey()
{
    QFETCH(QStringList, simulator);
    QFETCH(QString, script);

    // SDL's own handlers would replace the stop on SIGINT and SIGTERM; it
    // puts them where it finds the default ones (the test library has its
    // own there).
    struct sigaction defaultAction {}, interruptBefore, terminateBefore, now;
    defaultAction.sa_handler = SIG_DFL;
    QCOMPARE(::sigaction(SIGINT, &defaultAction, &interruptBefore), 0);
    QCOMPARE(::sigaction(SIGTERM, &defaultAction, &terminateBefore), 0);
    const auto restore = qScopeGuard([&] {
        ::sigaction(SIGINT, &interruptBefore, nullptr);
        ::sigaction(SIGTERM, &terminateBefore, nullptr);
    });
    std::optional<VirtualPad> pad1, pad2;
    SimProcess sim;
    QVERIFY(sim.start(simulator, simDir.path()));
    ModalCloser closer;
    MainWindow w;
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QVERIFY(connectAndStart(w, sim));
    // SDL's virtual pads have no device for the program to notice: it is
    // told to look. The program starts SDL first, as it would for a pad.
    GamePads *pads = w.findChild<GamePads *>();
    pads->readNow();
    QTRY_VERIFY(SDL_WasInit(SDL_INIT_GAMECONTROLLER));
    QCOMPARE(::sigaction(SIGINT, nullptr, &now), 0);
    QVERIFY(now.sa_handler == SIG_DFL);
    QCOMPARE(::sigaction(SIGTERM, nullptr, &now), 0);
    QVERIFY(now.sa_handler == SIG_DFL);
    pad1.emplace();
    pads->readNow();
    QTRY_COMPARE(pads->padNames(), QStringList{"Virtual Controller"});
    bindingList().append(makeBinding(pad::inputText(pad::A), pad::A, 0, 1, true, 400));
    bindingList().append(makeBinding(pad::inputText(pad::RightTrigger), pad::RightTrigger, 0, 2, true, 400));
    bindingList().append(makeBinding(pad::inputText(pad::LeftStickUp), pad::LeftStickUp, 0, 3, true, 400));
    bindingList().append(makeBinding(pad::inputText(pad::B), pad::B, 1, 1, true, 300));
    for (const KeyBinding &b : {makeBinding(QStringLiteral("d"), 'D', 0, 0, true, 400),
                                makeBinding(QStringLiteral("s"), 'S', 0, 0, false, 300),
                                makeBinding(pad::inputText(pad::X), pad::X, 0, 1, false, 400),
                                makeBinding(QStringLiteral("e"), 'E', 1, 0, true, 300)}) {
        bindingList().append(b);
    }
    const int endSwitches[] = {3, 4, 5, 2};
    for (int i = 0; i < 4; ++i)
        bindingList().at(4 + i).endSwitch = endSwitches[i];
    w.buttonsChanged();
    auto *table = w.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    // Keys as X11 reports them: scan code and keysym.
    const QHash<QString, QList<quint32>> keys{{"D", {Qt::Key_D, 40, 0x64}}, {"S", {Qt::Key_S, 39, 0x73}},
                                              {"E", {Qt::Key_E, 26, 0x65}}};

    const QHash<QString, quint32> inputs{{"A", pad::A}, {"B", pad::B}, {"RT", pad::RightTrigger},
                                         {"LS↑", pad::LeftStickUp}, {"X", pad::X}};
    QWidget other;
    FormEditor *editor = nullptr;
    qint64 happenedAt = 0;
    // What the simulator says after the last thing done.
    int mark = 0;
    for (const QString &step : script.split(QStringLiteral("; "))) {
        const QStringList words = step.split(QLatin1Char(' '));
        const QString &word = words.at(0);
        if (!word.startsWith(QLatin1Char('=')) && !word.startsWith(QLatin1Char('~'))) {
            sim.readLines();
            mark = sim.events.size();
        }
        if (word.startsWith(QLatin1Char('='))) {
            const bool extension = word.at(1) == QLatin1Char('x');
            const QJsonObject output = waitWhileHandlingEvents(
                sim, [ta = int(extension), out = word.mid(extension ? 2 : 1).toInt(), duty = words.at(1).toInt()](
                         const QJsonObject &e) {
                    return e["event"] == "output" && e["ta"].toInt() == ta && e["out"].toInt() == out
                        && e["duty"].toInt() == duty;
                }, 2000, mark);
            QVERIFY2(!output.isEmpty(), qPrintable(step));
            if (words.size() > 2) {
                const qint64 afterUs = output["t_us"].toVariant().toLongLong() - happenedAt;
                QVERIFY2(afterUs <= words.at(2).toInt() * 1000, qPrintable(step + QStringLiteral(": %1 us").arg(afterUs)));
            }
        } else if (word.startsWith(QLatin1Char('~'))) {
            const int out = word.mid(1).toInt();
            const QJsonObject changed = waitWhileHandlingEvents(
                sim, [out](const QJsonObject &e) { return e["event"] == "output" && e["out"].toInt() == out; }, 300,
                mark);
            QVERIFY2(changed.isEmpty(), qPrintable(step + QString::fromUtf8(QJsonDocument(changed).toJson(QJsonDocument::Compact))));
        } else if (word == "plug") {
            pad2.emplace(words.size() > 1 ? QList<quint32>{inputs.value(words.at(1))} : QList<quint32>{});
            pads->readNow();
            QTRY_COMPARE(pads->padNames().size(), 2);
        } else if (word == "key") {
            const QList<quint32> &key = keys.value(words.at(1));
            keyToWindow(w, words.at(2) == "1" ? QEvent::KeyPress : QEvent::KeyRelease, int(key[0]), key[1], key[2]);
        } else if (word == "close" || word == "open") {
            const bool extension = words.at(1).startsWith(QLatin1Char('x'));
            const int ta = extension ? 1 : 0;
            const int input = words.at(1).mid(extension ? 1 : 0).toInt();
            sim.send(QStringLiteral("input %1 %2 %3\n").arg(ta).arg(input).arg(word == "close" ? "closed" : "open").toUtf8());
            const QJsonObject changed = sim.waitFor([=](const QJsonObject &e) {
                return e["event"] == "input" && e["ta"].toInt() == ta && e["input"].toInt() == input
                    && e["closed"].toBool() == (word == "close");
            }, 2000, mark);
            QVERIFY2(!changed.isEmpty(), qPrintable(step));
            happenedAt = changed["t_us"].toVariant().toLongLong();
        } else if (word == "tip") {
            const QString tip = words.at(2) == "-" ? QString() : QStringLiteral("Остановлено: %1 замкнут").arg(words.at(2));
            QTRY_COMPARE(table->item(words.at(1).toInt(), 0)->toolTip(), tip);
        } else if (word == "unplug") {
            happenedAt = monotonicMicroseconds();
            pad1->unplug();
        } else if (word == "away") {
            other.show();
            QApplication::setActiveWindow(&other);
            QTRY_VERIFY(!w.isActiveWindow());
        } else if (word == "back") {
            QApplication::setActiveWindow(&w);
            QTRY_VERIFY(w.isActiveWindow());
        } else if (word == "add") {
            click(w, "pushButton_6");
            editor = findTopLevel<FormEditor>();
            QVERIFY(QTest::qWaitForWindowActive(editor));
        } else if (word == "field") {
            auto *field = editor->findChild<QLineEdit *>(QStringLiteral("lineEdit"));
            QTRY_COMPARE(field->text(), step.section(QLatin1Char(' '), 1));
            QCOMPARE(field->toolTip(), field->text().startsWith("Pad") ? QStringLiteral("Virtual Controller") : QString());
        } else if (word == "done") {
            editor->close();
            QApplication::setActiveWindow(&w);
            QTRY_VERIFY(w.isActiveWindow());
        } else {
            VirtualPad &pad = word.startsWith(QStringLiteral("2:")) ? *pad2 : *pad1;
            const QString name = word.startsWith(QStringLiteral("2:")) ? word.mid(2) : word;
            QVERIFY2(inputs.contains(name), qPrintable(step));
            pad.set(inputs.value(name), words.at(1).toInt());
        }
    }
    QCOMPARE(closer.seen.size(), 0);
    other.close();
    w.close();
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
