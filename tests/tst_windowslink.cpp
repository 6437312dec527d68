// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows program with the real controller library against the Linux
// simulator: a ROBO TX on the COM port Wine maps to the simulator's
// pseudo-terminal, and a TXT on loopback. Keys are typed through XTest
// (xdotool, started by Wine as it starts any Linux program), so they reach
// the program as Windows' own key messages. The simulator's watchdog is
// off: every 0 it sees is the program's own.
#include <algorithm>

#include <windows.h>
#include <tlhelp32.h>

#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "tests/simprocess.h"
#include "tests/testsupport.h"

namespace {

// Started and left: Wine cannot wait for a Linux program it started.
void type(const QStringList &arguments)
{
    QProcess::startDetached(QStringLiteral(KAVRIK_XDOTOOL), arguments);
}

// As a window manager activates a window the user clicks.
void activate(QWidget *widget)
{
    widget->activateWindow();
    const auto x11Window = reinterpret_cast<quintptr>(
        GetPropW(reinterpret_cast<HWND>(widget->winId()), L"__wine_x11_whole_window"));
    type({QStringLiteral("windowactivate"), QString::number(x11Window)});
}

// Until the X server gives Wine's window the keyboard, keys go elsewhere.
bool keyboardReachesWindow(MainWindow &window)
{
    KeyCounter counter;
    window.windowHandle()->installEventFilter(&counter);
    activate(&window);
    QElapsedTimer timer;
    timer.start();
    while (counter.keys < 2 && timer.elapsed() < 10000) {
        type({QStringLiteral("key"), QStringLiteral("shift")});
        QTest::qWait(300);
    }
    window.windowHandle()->removeEventFilter(&counter);
    return counter.keys >= 2;
}

void click(MainWindow &window, const char *name)
{
    window.findChild<QPushButton *>(QLatin1String(name))->click();
    waitForConnectionPanel(window);
}

// As a user does: a COM port from the search's list, a TXT's address typed.
bool connectAndStart(MainWindow &window, const QString &port)
{
    if (!port.contains(QLatin1Char(':')))
        return startOnSimulator(window, port);
    window.findChild<QComboBox *>(QStringLiteral("comboBox"))->lineEdit()->setText(port);
    click(window, "pushButton_2");
    click(window, "pushButton_4");
    return ftConnection().transferAreaRunning;
}

// The Master's O2 (M1 forward, as every binding here drives) reaching
// `duty`, handling the window's events the while: milliseconds, -1 after
// `ms`.
qint64 untilDuty(SimProcess &sim, int duty, int ms)
{
    QElapsedTimer timer;
    timer.start();
    const auto match = [duty](const QJsonObject &e) {
        return e["event"] == "output" && e["ta"].toInt() == 0 && e["out"].toInt() == 1 && e["duty"].toInt() == duty;
    };
    while (timer.elapsed() <= ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        if (!sim.waitFor(match, 2).isEmpty())
            return timer.elapsed();
    }
    return -1;
}

const QStringList txtSimulator{"--txt", "127.0.0.1:0"};

// As Task Manager's "End process tree" and taskkill /T do (Wine's taskkill
// has no /T): the process and every one whose parent id leads to it, ended
// at once. How many were ended.
int endProcessTree(DWORD root)
{
    QList<DWORD> tree{root};
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    QList<QPair<DWORD, DWORD>> parents;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        parents.append({entry.th32ProcessID, entry.th32ParentProcessID});
    CloseHandle(snapshot);
    for (int i = 0; i < tree.size(); ++i) {
        for (const auto &[pid, parent] : parents) {
            if (parent == tree.at(i) && !tree.contains(pid))
                tree.append(pid);
        }
    }
    int ended = 0;
    for (const DWORD pid : tree) {
        if (const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid)) {
            ended += TerminateProcess(process, 1) ? 1 : 0;
            CloseHandle(process);
        }
    }
    return ended;
}

} // namespace

class TestWindowsLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void drivesAndStops_data();
    void drivesAndStops();
    void linkLossShown_data();
    void linkLossShown();
    void endedProgramStops_data();
    void endedProgramStops();

private:
    QTemporaryDir simDir;
    ModalCloser *closer = nullptr;
    MainWindow *window = nullptr;
};

void TestWindowsLink::init()
{
    if (ftConnection().connected)
        ftConnection().closeDevice();
    resetProgramState();
    closer = new ModalCloser(this);
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window));
}

void TestWindowsLink::cleanup()
{
    type({QStringLiteral("keyup"), QStringLiteral("w")});
    window->close();
    delete window;
    delete closer;
    if (ftConnection().connected)
        ftConnection().closeDevice();
}

void TestWindowsLink::drivesAndStops_data()
{
    QTest::addColumn<QStringList>("simulator");
    QTest::newRow("ROBO TX on a COM port") << QStringList();
    QTest::newRow("TXT on loopback") << txtSimulator;
}

// Found, connected and started as a user does; W held drives M1, letting
// it go gives 0 at once, and so does another window taking the keyboard.
void TestWindowsLink::drivesAndStops()
{
    QFETCH(QStringList, simulator);
    SimProcess sim;
    QVERIFY(sim.start(simulator, simDir.path()));
    QVERIFY2(connectAndStart(*window, sim.port), qPrintable(sim.port));
    bindingList().append(makeBinding(QStringLiteral("w"), 0x57, 0, 0, true, 512));
    window->updateBindingsTable();

    QVERIFY(keyboardReachesWindow(*window));
    type({QStringLiteral("keydown"), QStringLiteral("w")});
    QVERIFY(untilDuty(sim, 512, 5000) >= 0);
    // Held past the server's auto-repeat: still driving, nothing else sent.
    QTest::qWait(1000);
    QCOMPARE(sim.count("output", [](const QJsonObject &e) { return e["duty"].toInt() == 0 && e["out"] == 1; }), 0);
    type({QStringLiteral("keyup"), QStringLiteral("w")});
    const qint64 released = untilDuty(sim, 0, 3000);
    QVERIFY2(released >= 0, "no 0 after the key-up");

    QWidget other;
    other.resize(200, 100);
    other.show();
    QVERIFY(keyboardReachesWindow(*window));
    type({QStringLiteral("keydown"), QStringLiteral("w")});
    QVERIFY(untilDuty(sim, 512, 5000) >= 0);
    other.activateWindow();
    const qint64 focusLost = untilDuty(sim, 0, 1000);
    // On the wire within a few exchanges (the simulator's events are read
    // from a file here, polled).
    QVERIFY2(focusLost >= 0 && focusLost <= 100, qPrintable(QString::number(focusLost)));
    type({QStringLiteral("keyup"), QStringLiteral("w")});
    QTest::qWait(300);
    QCOMPARE(sim.count("output", [](const QJsonObject &e) { return e["duty"].toInt() == 512; }), 2);
}

void TestWindowsLink::linkLossShown_data()
{
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<QString>("command");
    QTest::newRow("ROBO TX unplugged") << QStringList() << "hangup";
    QTest::newRow("TXT connection closed") << txtSimulator << "close";
}

// The controller goes away while running: the box tells it within a second.
void TestWindowsLink::linkLossShown()
{
    QFETCH(QStringList, simulator);
    QFETCH(QString, command);
    SimProcess sim;
    QVERIFY(sim.start(simulator, simDir.path()));
    QVERIFY(connectAndStart(*window, sim.port));
    QElapsedTimer timer;
    timer.start();
    sim.send((command + "\n").toUtf8());
    QTRY_VERIFY_WITH_TIMEOUT(!closer->seen.isEmpty(), 5000);
    const qint64 shown = timer.elapsed();
    QCOMPARE(closer->seen.first().title, QStringLiteral("Ошибка"));
    QVERIFY2(closer->seen.first().text.startsWith(QStringLiteral("Связь с контроллером")),
             qPrintable(closer->seen.first().text));
    QVERIFY2(shown <= 1000, qPrintable(QString::number(shown)));
    QVERIFY(!ftConnection().connected);
}

void TestWindowsLink::endedProgramStops_data()
{
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<bool>("tree"); // its whole tree, else the program alone
    QTest::newRow("ROBO TX, End task") << QStringList() << false;
    QTest::newRow("ROBO TX, End process tree") << QStringList() << true;
    QTest::newRow("TXT, End task") << txtSimulator << false;
    QTest::newRow("TXT, End process tree") << txtSimulator << true;
}

// The program, driving, is ended from outside as Task Manager ends it
// (TerminateProcess, as taskkill /F): its guardians, which are not in its
// tree, send the zeros within 200 ms.
void TestWindowsLink::endedProgramStops()
{
    QFETCH(QStringList, simulator);
    QFETCH(bool, tree);
    SimProcess sim;
    QVERIFY(sim.start(simulator, simDir.path()));
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Off screen, where its window is active without the window manager
    // and keys sent to it count.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_QPA_FONTDIR"), QStringLiteral("Z:/usr/share/fonts/truetype/dejavu"));
    program.setProcessEnvironment(environment);
    program.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold"), sim.port});
    QVERIFY(program.waitForReadyRead(30000));
    QCOMPARE(program.readLine().trimmed(), QByteArray("driving"));
    QVERIFY(untilDuty(sim, 400, 3000) >= 0);
    QElapsedTimer timer;
    timer.start();
    if (tree)
        QVERIFY(endProcessTree(DWORD(program.processId())) > 0);
    else
        program.kill();
    const qint64 stopped = untilDuty(sim, 0, 3000);
    qInfo("zeros %lld ms after the end", stopped);
    QVERIFY2(stopped >= 0, "the outputs were left driven");
    QVERIFY2(stopped <= 200, qPrintable(QString::number(stopped)));
    program.waitForFinished(3000);
}

namespace {

// The program as a child process: connected, started and holding D
// (Master M1 forward, 400), until it is ended from outside.
int hold(const QString &port)
{
    MainWindow window;
    window.show();
    if (!connectAndStart(window, port)) {
        std::puts("not running on the simulator's port");
        return 3;
    }
    bindingList().append(makeBinding(QStringLiteral("d"), 'D', 0, 0, true, 400));
    window.buttonsChanged();
    QKeyEvent press = platformKeyEvent(QEvent::KeyPress, Qt::Key_D, 40, 0x64, QStringLiteral("d"));
    QApplication::sendEvent(&window, &press);
    std::puts("driving");
    std::fflush(stdout);
    return QApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() == 3 && arguments.at(1) == QStringLiteral("--hold"))
        return hold(arguments.at(2));
    TestWindowsLink test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_windowslink.moc"
