// SPDX-License-Identifier: GPL-3.0-or-later
// Real keys on Windows: typed through XTest (xdotool, which Wine starts as it
// starts any Linux program) into the Wine window, they reach the program as
// Windows' own key messages, with the message's virtual key and the
// toolkit's Windows pattern of auto-repeat. Also the keyboard's edges: a
// key-up that never arrives, a key held in another program, the focus lost.
#include <algorithm>

#include <windows.h>

#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#include "app/mainwindow.h"
#include "app/termination.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "editor/qlineeditextforkey.h"
#include "tests/fakecalls.h"
#include "tests/testsupport.h"
#include "tests/windowtest.h"

namespace {

// Takes W's key-up out of the program's messages before any part of it reads
// them, as a system overlay that takes the keyboard does.
HHOOK keyUpTaker = nullptr;

LRESULT CALLBACK takeKeyUpOfW(int code, WPARAM removed, LPARAM message)
{
    auto *msg = reinterpret_cast<MSG *>(message);
    if (code == HC_ACTION && msg->message == WM_KEYUP && msg->wParam == 'W')
        msg->message = WM_NULL;
    return CallNextHookEx(keyUpTaker, code, removed, message);
}

bool keyDownInWindows(int virtualKey)
{
    return GetAsyncKeyState(virtualKey) & 0x8000;
}

} // namespace

class TestWindowsKeys : public WindowTest
{
    Q_OBJECT

private slots:
    void heldKeyDrivesUntilReleased_data();
    void heldKeyDrivesUntilReleased();
    void keyHeldInAnotherProgram_data();
    void keyHeldInAnotherProgram();
    void focusLossStops();
    void capturedByVirtualKey_data();
    void capturedByVirtualKey();
    void desktopStops_data();
    void desktopStops();

private:
    static void type(const QStringList &arguments);
    // As a window manager activates a window the user clicks: Windows' own
    // activation leaves the X server's keyboard where it was.
    static void activate(QWidget *widget);
    // Whether typed keys reach the main window, tried for a while: until the
    // X server gives Wine's window the keyboard (later than Windows makes
    // it active), keys go elsewhere, and one held the while counts as held
    // since before the window had the keyboard.
    bool keyboardReachesWindow();
    // Milliseconds until `count` duties have gone out, handling events the
    // while; -1 after a second.
    qint64 untilDuties(int count) const;
};

// Started and left: Wine cannot wait for a Linux program it started.
void TestWindowsKeys::type(const QStringList &arguments)
{
    QVERIFY(QProcess::startDetached(QStringLiteral(KAVRIK_XDOTOOL), arguments));
}

void TestWindowsKeys::activate(QWidget *widget)
{
    widget->activateWindow();
    const auto x11Window = reinterpret_cast<quintptr>(
        GetPropW(reinterpret_cast<HWND>(widget->winId()), L"__wine_x11_whole_window"));
    type({QStringLiteral("windowactivate"), QString::number(x11Window)});
}

bool TestWindowsKeys::keyboardReachesWindow()
{
    KeyCounter counter;
    window->windowHandle()->installEventFilter(&counter);
    activate(window);
    QElapsedTimer timer;
    timer.start();
    while (counter.keys < 2 && timer.elapsed() < 10000) {
        type({QStringLiteral("key"), QStringLiteral("shift")});
        QTest::qWait(300);
    }
    return counter.keys >= 2;
}

qint64 TestWindowsKeys::untilDuties(int count) const
{
    QElapsedTimer timer;
    timer.start();
    while (fakeDuties().size() < count) {
        if (timer.elapsed() > 1000)
            return -1;
        QCoreApplication::processEvents();
        Sleep(1);
    }
    return timer.elapsed();
}

void TestWindowsKeys::heldKeyDrivesUntilReleased_data()
{
    QTest::addColumn<bool>("keyUpLost");
    QTest::newRow("key-up delivered") << false;
    QTest::newRow("key-up never delivered") << true;
}

// W held past the auto-repeat delay drives once; letting it go stops within
// 300 ms of Windows' own key state saying so, whether or not the program
// gets the key-up.
void TestWindowsKeys::heldKeyDrivesUntilReleased()
{
    QFETCH(bool, keyUpLost);

    bindingList().append(makeBinding(QStringLiteral("w"), 0x57, 0, 0, true, 512));
    window->updateBindingsTable();
    QVERIFY(keyboardReachesWindow());
    type({QStringLiteral("keydown"), QStringLiteral("w")});
    QTRY_COMPARE_WITH_TIMEOUT(fakeDuties(), QList<int>{512}, 5000);
    // The server repeats a held key after 660 ms, 25 times a second.
    QTest::qWait(1200);
    QCOMPARE(fakeDuties(), QList<int>{512});
    if (keyUpLost)
        keyUpTaker = SetWindowsHookExW(WH_GETMESSAGE, takeKeyUpOfW, nullptr, GetCurrentThreadId());
    const auto unhook = qScopeGuard([] {
        if (keyUpTaker)
            UnhookWindowsHookEx(keyUpTaker);
        keyUpTaker = nullptr;
    });
    type({QStringLiteral("keyup"), QStringLiteral("w")});
    QTRY_VERIFY_WITH_TIMEOUT(!keyDownInWindows('W'), 5000);
    const qint64 stoppedAfter = untilDuties(2);
    QVERIFY2(stoppedAfter >= 0 && stoppedAfter <= 300, qPrintable(QString::number(stoppedAfter)));
    QCOMPARE(fakeDuties(), (QList<int>{512, 0}));
    QCOMPARE(fakeCalls(QStringLiteral("SetOutPwmValues")).last(), QStringLiteral("SetOutPwmValues(5, 0, 1, 0)"));
}

void TestWindowsKeys::keyHeldInAnotherProgram_data()
{
    QTest::addColumn<bool>("heldBefore");
    QTest::newRow("W held before the window was active") << true;
    QTest::newRow("W pressed as the window gets active") << false;
}

// A key held in another program does nothing here, however long it is held,
// until it is pressed anew; a key pressed once the window is active drives
// at once.
void TestWindowsKeys::keyHeldInAnotherProgram()
{
    QFETCH(bool, heldBefore);

    bindingList().append(makeBinding(QStringLiteral("w"), 0x57, 0, 0, true, 512));
    window->updateBindingsTable();
    QProcess other;
    const auto closeOther = qScopeGuard([&other] {
        type({QStringLiteral("keyup"), QStringLiteral("w")});
        other.kill();
        other.waitForFinished();
    });
    other.start(QStringLiteral("notepad.exe"), QStringList());
    QVERIFY(other.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::applicationState(), Qt::ApplicationInactive, 5000);
    if (heldBefore) {
        type({QStringLiteral("keydown"), QStringLiteral("w")});
        QTRY_VERIFY_WITH_TIMEOUT(keyDownInWindows('W'), 5000);
        QTest::qWait(1000);
        KeyCounter counter;
        window->windowHandle()->installEventFilter(&counter);
        activate(window);
        // Its repeats reach the window now.
        QTRY_VERIFY_WITH_TIMEOUT(counter.keys > 0, 5000);
        QTest::qWait(500);
        type({QStringLiteral("keyup"), QStringLiteral("w")});
        QTRY_VERIFY_WITH_TIMEOUT(!keyDownInWindows('W'), 5000);
        QTest::qWait(300);
        QCOMPARE(fakeDuties(), QList<int>());
    }
    QVERIFY(keyboardReachesWindow());
    type({QStringLiteral("keydown"), QStringLiteral("w")});
    QTRY_COMPARE_WITH_TIMEOUT(fakeDuties(), QList<int>{512}, 5000);
    type({QStringLiteral("keyup"), QStringLiteral("w")});
    QTRY_COMPARE_WITH_TIMEOUT(fakeDuties(), (QList<int>{512, 0}), 5000);
}

// Another window takes the keyboard while W is held: the output stops then,
// within 20 ms of the request (median of five, as a loaded machine delays
// Wine itself), and the key-up that goes to the other window changes nothing.
void TestWindowsKeys::focusLossStops()
{
    bindingList().append(makeBinding(QStringLiteral("w"), 0x57, 0, 0, true, 512));
    window->updateBindingsTable();
    QWidget other;
    other.resize(200, 100);
    other.show();
    QList<qint64> latencies;
    for (int i = 0; i < 5; ++i) {
        QVERIFY(keyboardReachesWindow());
        fakeFtClearLog();
        type({QStringLiteral("keydown"), QStringLiteral("w")});
        QTRY_COMPARE_WITH_TIMEOUT(fakeDuties(), QList<int>{512}, 5000);
        QElapsedTimer timer;
        timer.start();
        other.activateWindow();
        QVERIFY(untilDuties(2) >= 0);
        latencies.append(timer.elapsed());
        QCOMPARE(fakeDuties(), (QList<int>{512, 0}));
        type({QStringLiteral("keyup"), QStringLiteral("w")});
        QTest::qWait(300);
        QCOMPARE(fakeDuties(), (QList<int>{512, 0}));
    }
    std::sort(latencies.begin(), latencies.end());
    QVERIFY2(latencies.at(2) <= 20, qPrintable(QStringLiteral("%1 ms").arg(latencies.at(2))));
}

void TestWindowsKeys::capturedByVirtualKey_data()
{
    QTest::addColumn<QString>("key"); // as xdotool names it
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("shown");

    QTest::newRow("W") << "w" << 0x57 << "w";
    QTest::newRow("Shift+W") << "shift+w" << 0x57 << "W";
    QTest::newRow("1") << "1" << 0x31 << "1";
    QTest::newRow("Space") << "space" << 0x20 << " ";
    QTest::newRow("F5") << "F5" << 0x74 << "";
    QTest::newRow("Left") << "Left" << 0x25 << "";
    QTest::newRow("Backspace") << "BackSpace" << 0x08 << "";
}

// The key field takes the message's own virtual key, so a list saved on
// Linux binds the same keys here.
void TestWindowsKeys::capturedByVirtualKey()
{
    QFETCH(QString, key);
    QFETCH(int, code);
    QFETCH(QString, shown);

    QLineEditExtForKey field;
    field.resize(200, 30);
    field.show();
    field.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&field));
    field.setFocus();
    type({QStringLiteral("key"), key});
    QTRY_COMPARE_WITH_TIMEOUT(field.capturedCode, code, 5000);
    QCOMPARE(field.text(), shown);
}

void TestWindowsKeys::desktopStops_data()
{
    QTest::addColumn<uint>("message");
    QTest::addColumn<uint>("wParam");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<bool>("wakes"); // the machine wakes again afterwards

    const QString zero = QStringLiteral("SetOutPwmValues(5, 0, 1, 0)");
    QTest::newRow("log-off or shutdown") << uint(WM_ENDSESSION) << uint(TRUE)
                                         << QStringList{zero, "ftxStopTransferArea(5)", "ftxCloseDevice(5)"} << false;
    QTest::newRow("session end called off") << uint(WM_ENDSESSION) << uint(FALSE) << QStringList() << false;
    QTest::newRow("sleep") << uint(WM_POWERBROADCAST) << uint(PBT_APMSUSPEND)
                           << QStringList{zero, "ftxStopTransferArea(5)"} << true;
}

// The desktop ends the session or puts the machine to sleep while a key
// drives: the zeros and the stop go out before the message is answered,
// after which Windows may end the process at once. After sleep the
// transfer runs again, with nothing held.
void TestWindowsKeys::desktopStops()
{
    QFETCH(uint, message);
    QFETCH(uint, wParam);
    QFETCH(QStringList, calls);
    QFETCH(bool, wakes);

    TerminationSignals watch;
    bindingList().append(makeBinding(QStringLiteral("w"), 0x57, 0, 0, true, 512));
    window->updateBindingsTable();
    QVERIFY(keyboardReachesWindow());
    type({QStringLiteral("keydown"), QStringLiteral("w")});
    QTRY_COMPARE_WITH_TIMEOUT(fakeDuties(), QList<int>{512}, 5000);
    fakeFtClearLog();
    SendMessageW(reinterpret_cast<HWND>(window->winId()), message, wParam, 0);
    QCOMPARE(fakeCalls(), calls);
    if (wakes) {
        SendMessageW(reinterpret_cast<HWND>(window->winId()), WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
        QCOMPARE(fakeCalls(), calls + QStringList{"ftxStartTransferArea(5)"});
    }
    type({QStringLiteral("keyup"), QStringLiteral("w")});
    QTest::qWait(300);
    QCOMPARE(fakeCalls().filter(QStringLiteral("SetOutPwmValues(5, 0, 1, 512)")), QStringList());
}

QTEST_MAIN(TestWindowsKeys)
#include "tst_windowskeys.moc"
