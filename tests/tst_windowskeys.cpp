// SPDX-License-Identifier: GPL-3.0-or-later
// Real keys on Windows: typed through XTest (xdotool, which Wine starts as it
// starts any Linux program) into the Wine window, they reach the program as
// Windows' own key messages, with the message's virtual key and the
// toolkit's Windows pattern of auto-repeat.
#include <windows.h>

#include <QProcess>
#include <QtTest>

#include "app/mainwindow.h"
#include "app/termination.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "editor/qlineeditextforkey.h"
#include "tests/fakecalls.h"
#include "tests/testsupport.h"
#include "tests/windowtest.h"

class TestWindowsKeys : public WindowTest
{
    Q_OBJECT

private slots:
    void heldKeyDrivesUntilReleased();
    void focusLossStops();
    void capturedByVirtualKey_data();
    void capturedByVirtualKey();
    void desktopStops_data();
    void desktopStops();

private:
    static void type(const QStringList &arguments);
    QList<int> dutiesSent() const;
};

// Started and left: Wine cannot wait for a Linux program it started.
void TestWindowsKeys::type(const QStringList &arguments)
{
    QVERIFY(QProcess::startDetached(QStringLiteral(KAVRIK_XDOTOOL), arguments));
}

QList<int> TestWindowsKeys::dutiesSent() const
{
    QList<int> duties;
    for (const QString &call : fakeCalls(QStringLiteral("SetOutPwmValues"))) {
        const QStringList args = call.mid(call.indexOf(QLatin1Char('(')) + 1).chopped(1).split(QStringLiteral(", "));
        duties.append(args.at(3).toInt());
    }
    return duties;
}

// W held past the auto-repeat delay drives once; its release stops.
void TestWindowsKeys::heldKeyDrivesUntilReleased()
{
    bindingList().append(makeBinding(QStringLiteral("w"), 0x57, 0, 0, true, 512));
    window->updateBindingsTable();
    type({QStringLiteral("keydown"), QStringLiteral("w")});
    QTRY_COMPARE_WITH_TIMEOUT(dutiesSent(), QList<int>{512}, 5000);
    // The server repeats a held key after 660 ms, 25 times a second.
    QTest::qWait(1200);
    QCOMPARE(dutiesSent(), QList<int>{512});
    type({QStringLiteral("keyup"), QStringLiteral("w")});
    QTRY_COMPARE_WITH_TIMEOUT(dutiesSent(), (QList<int>{512, 0}), 5000);
    QCOMPARE(fakeCalls(QStringLiteral("SetOutPwmValues")).last(), QStringLiteral("SetOutPwmValues(5, 0, 1, 0)"));
}

// Another window takes the keyboard while W is held: the output stops then,
// and the key-up that goes to the other window changes nothing.
void TestWindowsKeys::focusLossStops()
{
    bindingList().append(makeBinding(QStringLiteral("w"), 0x57, 0, 0, true, 512));
    window->updateBindingsTable();
    type({QStringLiteral("keydown"), QStringLiteral("w")});
    QTRY_COMPARE_WITH_TIMEOUT(dutiesSent(), QList<int>{512}, 5000);
    QWidget other;
    other.resize(200, 100);
    other.show();
    other.activateWindow();
    QTRY_COMPARE_WITH_TIMEOUT(dutiesSent(), (QList<int>{512, 0}), 5000);
    type({QStringLiteral("keyup"), QStringLiteral("w")});
    QTest::qWait(300);
    QCOMPARE(dutiesSent(), (QList<int>{512, 0}));
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
    type({QStringLiteral("keydown"), QStringLiteral("w")});
    QTRY_COMPARE_WITH_TIMEOUT(dutiesSent(), QList<int>{512}, 5000);
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
