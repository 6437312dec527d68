// SPDX-License-Identifier: GPL-3.0-or-later
// Held keys under real X11 key events (a private Xvfb, typed on through
// XTest): the server's auto-repeat under load, popups that take the
// keyboard, the focus moving to another window or program while a key is
// held, keys held since before the program had the keyboard, the editor
// opened over a held key, and releases that never arrive.
#include <algorithm>
#include <cstdio>

#include <poll.h>

#include <QComboBox>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTableWidget>
#include <QThread>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "editor/formeditor.h"
#include "tests/fakecalls.h"
#include "tests/testsupport.h"
#include "tests/xserver.h"

namespace {

// X keycodes: the Linux input event code + 8.
constexpr unsigned keycodeEscape = 9;
constexpr unsigned keycodeW = 25;
constexpr unsigned keycodeA = 38;

// Busy processes on every core while they live.
class BusyLoad {
public:
    BusyLoad()
    {
        for (int i = 0; i < QThread::idealThreadCount(); ++i) {
            auto *p = new QProcess;
            p->start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
            processes.append(p);
        }
    }
    ~BusyLoad()
    {
        for (QProcess *p : qAsConst(processes)) {
            p->kill();
            p->waitForFinished(3000);
            delete p;
        }
    }
    bool running()
    {
        return std::all_of(processes.begin(), processes.end(), [](QProcess *p) { return p->waitForStarted(3000); });
    }

private:
    QList<QProcess *> processes;
};

// Counts the presses that reach the main window marked as auto-repeat, so a
// test knows the server really repeated.
class RepeatCounter : public QObject {
public:
    int repeats = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->isAutoRepeat())
            ++repeats;
        return false;
    }
};

} // namespace

class TestX11Keys : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void autoRepeatUnderLoad_data();
    void autoRepeatUnderLoad();
    void popupTakesTheKeyboard_data();
    void popupTakesTheKeyboard();
    void focusElsewhereWhileHeld();
    void keyHeldInAnotherProgram_data();
    void keyHeldInAnotherProgram();
    void editorOverAHeldKey_data();
    void editorOverAHeldKey();
    void lostRelease_data();
    void lostRelease();
    void focusLossStopsAtOnce();

private:
    void hold(int ms) { QTest::qWait(ms); }
    // Milliseconds until `count` duties have gone out, handling events the
    // while; -1 after a second.
    qint64 untilDuties(int count);
    void clickButton(QWidget *button);

    MainWindow *window = nullptr;
    ModalCloser *closer = nullptr;
    XTestInput input;
};

void TestX11Keys::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QVERIFY(input.isOpen());
    // Faster than any desktop's setting, so that a 3 s hold gives hundreds
    // of repeats.
    QVERIFY(input.setAutoRepeat(100, 10));
}

void TestX11Keys::init()
{
    resetProgramState();
    fakeFtReset();
    closer = new ModalCloser(this);
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    // As a window manager gives the focus: the toolkit's own request carries
    // the time of its last event, which the server refuses when the focus
    // changed since (the last test's windows went).
    input.focus(window->winId());
    QVERIFY(QTest::qWaitForWindowActive(window));
    pretendTransferAreaRuns();
    window->updateConnectionWidgets();
    bindingList().append(makeBinding(QStringLiteral("w"), 'W', 0, 1, false, 512));
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 1, false, 100));
    fakeFtClearLog();
}

void TestX11Keys::cleanup()
{
    // Nothing stays pressed on the server for the next test.
    input.key(keycodeW, false);
    input.key(keycodeA, false);
    window->close();
    delete window;
    delete closer;
    QCOMPARE(visibleTopLevelWindows(), QStringList());
}

void TestX11Keys::autoRepeatUnderLoad_data()
{
    QTest::addColumn<bool>("twoKeys");
    QTest::addColumn<QList<int>>("duties");
    for (int i = 1; i <= 5; ++i)
        QTest::addRow("W held 3 s, #%d", i) << false << QList<int>{512, 0};
    QTest::newRow("W held 3 s over A on the same output") << true << QList<int>{100, 512, 100, 0};
}

void TestX11Keys::autoRepeatUnderLoad()
{
    QFETCH(bool, twoKeys);
    QFETCH(QList<int>, duties);

    BusyLoad load;
    QVERIFY(load.running());
    RepeatCounter counter;
    window->installEventFilter(&counter);

    if (twoKeys) {
        input.key(keycodeA, true);
        QTRY_COMPARE(fakeDuties().size(), 1);
    }
    input.key(keycodeW, true);
    hold(3000);
    input.key(keycodeW, false);
    if (twoKeys) {
        QTRY_COMPARE(fakeDuties().size(), 3);
        input.key(keycodeA, false);
    }
    QTRY_COMPARE(fakeDuties().size(), duties.size());
    hold(300);
    QCOMPARE(fakeDuties(), duties);
    QVERIFY(bindingList().held().isEmpty());
    // The server did repeat (about 290 times at this rate).
    QVERIFY2(counter.repeats > 100, qPrintable(QString::number(counter.repeats)));
}

void TestX11Keys::popupTakesTheKeyboard_data()
{
    QTest::addColumn<QString>("popup");
    QTest::newRow("menu \"Файл\"") << "menu";
    QTest::newRow("port list") << "ports";
}

void TestX11Keys::popupTakesTheKeyboard()
{
    QFETCH(QString, popup);

    input.key(keycodeW, true);
    QTRY_COMPARE(fakeDuties(), QList<int>{512});

    // Opened with the mouse while W is held, as a user would.
    QPoint at;
    if (popup == "menu") {
        QMenuBar *bar = window->menuBar();
        auto *menu = window->findChild<QMenu *>(QStringLiteral("menu"));
        at = bar->mapToGlobal(bar->actionGeometry(menu->menuAction()).center());
    } else {
        auto *ports = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
        ports->addItems({QStringLiteral("/dev/ttyACM0 ROBO TX Controller"), QStringLiteral("/dev/ttyACM1")});
        // Its arrow: the rest of the box takes a typed address.
        QStyleOptionComboBox option;
        option.initFrom(ports);
        option.editable = true;
        at = ports->mapToGlobal(
            ports->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxArrow, ports).center());
    }
    input.click(at.x(), at.y());
    QTRY_VERIFY(QApplication::activePopupWidget());
    QVERIFY(window->isActiveWindow());
    QTRY_COMPARE(fakeDuties(), (QList<int>{512, 0}));

    // Let go while the popup has the keyboard, close it, drive again.
    hold(300);
    input.key(keycodeW, false);
    hold(200);
    input.key(keycodeEscape, true);
    input.key(keycodeEscape, false);
    QTRY_VERIFY(!QApplication::activePopupWidget());
    QCOMPARE(fakeDuties(), (QList<int>{512, 0}));
    input.key(keycodeW, true);
    QTRY_COMPARE(fakeDuties().size(), 3);
    input.key(keycodeW, false);
    QTRY_COMPARE(fakeDuties(), (QList<int>{512, 0, 512, 0}));
}

void TestX11Keys::focusElsewhereWhileHeld()
{
    input.key(keycodeW, true);
    QTRY_COMPARE(fakeDuties(), QList<int>{512});

    QWidget other;
    other.resize(200, 100);
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QTRY_COMPARE(fakeDuties(), (QList<int>{512, 0}));
    hold(300);

    // Back while W is still held: its repeats are no new press.
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    hold(500);
    input.key(keycodeW, false);
    hold(200);
    QCOMPARE(fakeDuties(), (QList<int>{512, 0}));

    input.key(keycodeW, true);
    QTRY_COMPARE(fakeDuties().size(), 3);
    input.key(keycodeW, false);
    QTRY_COMPARE(fakeDuties(), (QList<int>{512, 0, 512, 0}));
    other.close();
}

qint64 TestX11Keys::untilDuties(int count)
{
    QElapsedTimer timer;
    timer.start();
    while (fakeDuties().size() < count) {
        if (timer.elapsed() > 1000)
            return -1;
        QCoreApplication::processEvents();
        ::poll(nullptr, 0, 1);
    }
    return timer.elapsed();
}

void TestX11Keys::clickButton(QWidget *button)
{
    const QPoint at = button->mapToGlobal(button->rect().center());
    input.click(at.x(), at.y());
}

void TestX11Keys::keyHeldInAnotherProgram_data()
{
    QTest::addColumn<bool>("heldBefore");
    QTest::newRow("W held before the window had the keyboard") << true;
    QTest::newRow("W pressed 20 ms after the window got it") << false;
}

// A key held in another program does nothing here, however long it is held,
// until it is pressed anew; a key pressed right after the window gets the
// keyboard drives at once.
void TestX11Keys::keyHeldInAnotherProgram()
{
    QFETCH(bool, heldBefore);

    input.focusOwnWindow();
    QTRY_VERIFY(!window->isActiveWindow());
    if (heldBefore) {
        input.key(keycodeW, true);
        hold(300);
    }
    input.focus(window->winId());
    if (heldBefore) {
        QVERIFY(QTest::qWaitForWindowActive(window));
        hold(500);
        input.key(keycodeW, false);
        hold(200);
        QCOMPARE(fakeDuties(), QList<int>());
    } else {
        hold(20);
    }
    input.key(keycodeW, true);
    QTRY_COMPARE(fakeDuties(), QList<int>{512});
    input.key(keycodeW, false);
    QTRY_COMPARE(fakeDuties(), (QList<int>{512, 0}));
}

void TestX11Keys::editorOverAHeldKey_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("warning");
    QTest::newRow("\"Редактир.\" on the row of A") << "pushButton_7" << 2 << "";
    QTest::newRow("\"Добавить\"") << "pushButton_6" << 2 << "Введите клавишу";
}

// The editor opened while W drives a motor: the held key's repeats reach
// its key field, which must not take them for the binding's key.
void TestX11Keys::editorOverAHeldKey()
{
    QFETCH(QString, button);
    QFETCH(int, rows);
    QFETCH(QString, warning);

    window->updateBindingsTable();
    window->findChild<QTableWidget *>(QStringLiteral("tableWidget"))->setCurrentCell(1, 0);
    input.key(keycodeW, true);
    QTRY_COMPARE(fakeDuties(), QList<int>{512});
    clickButton(window->findChild<QPushButton *>(button));
    QWidget *editor = nullptr;
    QTRY_VERIFY((editor = QApplication::activeWindow()) && editor != window);
    QTRY_COMPARE(fakeDuties(), (QList<int>{512, 0}));
    hold(300);
    input.key(keycodeW, false);
    hold(100);
    clickButton(editor->findChild<QPushButton *>(QStringLiteral("pushButton")));
    QTRY_VERIFY(!closer->seen.isEmpty() || !editor->isVisible());
    QCOMPARE(closer->seen.isEmpty() ? QString() : closer->seen.first().text, warning);
    QCOMPARE(bindingList().size(), rows);
    QCOMPARE(bindingList().at(1).keyText, QStringLiteral("a"));
    QCOMPARE(bindingList().at(1).keyCode, int('A'));
    editor->close();
}

void TestX11Keys::lostRelease_data()
{
    QTest::addColumn<bool>("grab");
    QTest::newRow("another program grabs the keyboard across the release") << true;
    QTest::newRow("the release never arrives") << false;
}

void TestX11Keys::lostRelease()
{
    QFETCH(bool, grab);

    if (grab) {
        input.key(keycodeW, true);
        QTRY_COMPARE(fakeDuties(), QList<int>{512});
        QVERIFY(input.grabKeyboard());
        const qint64 stoppedAfter = untilDuties(2);
        QVERIFY2(stoppedAfter >= 0 && stoppedAfter <= 20, qPrintable(QString::number(stoppedAfter)));
        input.key(keycodeW, false);
        hold(200);
        input.ungrabKeyboard();
    } else {
        // A press as the server would send it for a key it never had down:
        // no release can come, as when the server let the key up without
        // telling (XWayland switching between keyboards).
        QKeyEvent press = platformKeyEvent(QEvent::KeyPress, Qt::Key_W, keycodeW, 0x77, QStringLiteral("w"));
        QApplication::sendEvent(window->windowHandle(), &press);
        QCOMPARE(fakeDuties(), QList<int>{512});
        const qint64 stoppedAfter = untilDuties(2);
        QVERIFY2(stoppedAfter >= 0 && stoppedAfter <= 300, qPrintable(QString::number(stoppedAfter)));
    }
    hold(300);
    QCOMPARE(fakeDuties(), (QList<int>{512, 0}));
    QVERIFY(bindingList().held().isEmpty());
    QTRY_VERIFY(window->isActiveWindow());
    input.key(keycodeW, true);
    QTRY_COMPARE(fakeDuties().size(), 3);
    input.key(keycodeW, false);
    QTRY_COMPARE(fakeDuties(), (QList<int>{512, 0, 512, 0}));
}

// From the focus change in the server to the 0 on the wire, not after the
// toolkit's own delay of about 100 ms; median of five.
void TestX11Keys::focusLossStopsAtOnce()
{
    QList<qint64> latencies;
    for (int i = 0; i < 5; ++i) {
        // As a window manager gives it back: the toolkit's own request
        // would carry a time older than the other program's focus.
        input.focus(window->winId());
        QVERIFY(QTest::qWaitForWindowActive(window));
        fakeFtClearLog();
        input.key(keycodeW, true);
        QTRY_COMPARE(fakeDuties(), QList<int>{512});
        QElapsedTimer timer;
        timer.start();
        input.focusOwnWindow();
        QVERIFY(untilDuties(2) >= 0);
        latencies.append(timer.elapsed());
        QCOMPARE(fakeDuties(), (QList<int>{512, 0}));
        input.key(keycodeW, false);
    }
    std::sort(latencies.begin(), latencies.end());
    QVERIFY2(latencies.at(2) <= 20, qPrintable(QStringLiteral("%1 ms").arg(latencies.at(2))));
}

int main(int argc, char *argv[])
{
    // Real key events need a real X server: without one this test fails.
    XServer server;
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "tst_x11keys: %s\n", error.c_str());
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    // The program draws nothing with OpenGL; the toolkit's GL integration
    // would only load the system's driver, which keeps memory to the end.
    qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication application(argc, argv);
    TestX11Keys test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_x11keys.moc"
