// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "bindings/rowmarks.h"
#include "common/processobjects.h"
#include "control/padinputs.h"
#include "controller/ftconnection.h"
#include "tests/fakecalls.h"
#include "tests/testsupport.h"
#include "tests/windowtest.h"

namespace {

// Physical keys as X11 reports them: key, scan code (X keycode), text.
struct PhysicalKey
{
    int key;
    quint32 scanCode;
    const char *text;
};
const PhysicalKey keyA{Qt::Key_A, 38, "a"};
const PhysicalKey keyB{Qt::Key_B, 56, "b"};
const PhysicalKey keyC{Qt::Key_C, 54, "c"};

} // namespace

class TestKeyControl : public WindowTest
{
    Q_OBJECT

private slots:
    void sharedOutput_data();
    void sharedOutput();
    void padLevels_data();
    void padLevels();
    void oneKeyTwoOutputs();
    void oneKeyTwiceOnOneOutput();
    void autoRepeatSendsNothing();
    void nothingWhileStopped();
    void releaseWithShiftStopsMotor();
    void valuesFromFilePassedUnchanged();
    void deactivationStopsHeldOutputsOnce();
    void keyboardLossStopsHeldOutputs_data();
    void keyboardLossStopsHeldOutputs();
    void startStopDisconnectForgetHeldKeys_data();
    void startStopDisconnectForgetHeldKeys();
    void listChangeStopsHeldOutputs_data();
    void listChangeStopsHeldOutputs();
    void releaseUndoesWhatPressDid_data();
    void releaseUndoesWhatPressDid();
    void releaseInAnotherWindow();

private:
    // The rows drawn as driving (bold).
    QList<int> drivingRows() const;
    void send(const PhysicalKey &k, bool press, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
              bool autoRepeat = false);
};

void TestKeyControl::send(const PhysicalKey &k, bool press, Qt::KeyboardModifiers modifiers, bool autoRepeat)
{
    QString text = QString::fromLatin1(k.text);
    if (modifiers & Qt::ShiftModifier)
        text = text.toUpper();
    QKeyEvent event = platformKeyEvent(press ? QEvent::KeyPress : QEvent::KeyRelease, k.key, k.scanCode,
                                  text.at(0).unicode(), text, modifiers, autoRepeat);
    QApplication::sendEvent(window, &event);
}

QList<int> TestKeyControl::drivingRows() const
{
    auto *table = window->findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    QList<int> rows;
    for (int r = 0; r < table->rowCount(); ++r) {
        if (table->item(r, 0)->data(drivingRole).toBool())
            rows.append(r);
    }
    return rows;
}

void TestKeyControl::sharedOutput_data()
{
    QTest::addColumn<bool>("bOpposite"); // B drives the motor's other direction
    QTest::addColumn<bool>("releaseAFirst");
    QTest::addColumn<QList<int>>("duties");
    // The rows marked as driving with both held, and after the first release.
    QTest::addColumn<QList<int>>("drivingBothHeld");
    QTest::addColumn<QList<int>>("drivingAfterFirstRelease");

    QTest::newRow("B released first") << false << false << QList<int>{300, 100, 300, 0} << QList<int>{1}
                                      << QList<int>{0};
    QTest::newRow("A released first") << false << true << QList<int>{300, 100, 100, 0} << QList<int>{1}
                                      << QList<int>{1};
    // The library sends such a motor as stopped: neither row drives it.
    QTest::newRow("both directions of the motor held") << true << false << QList<int>{300, 100, 0, 0}
                                                       << QList<int>() << QList<int>{0};
}

void TestKeyControl::sharedOutput()
{
    QFETCH(bool, bOpposite);
    QFETCH(bool, releaseAFirst);
    QFETCH(QList<int>, duties);
    QFETCH(QList<int>, drivingBothHeld);
    QFETCH(QList<int>, drivingAfterFirstRelease);

    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 1, true, 300));
    bindingList().append(makeBinding(QStringLiteral("b"), 'B', 0, 1, !bOpposite, 100));
    window->updateBindingsTable();
    send(keyA, true);
    QCOMPARE(drivingRows(), QList<int>{0});
    send(keyB, true);
    QCOMPARE(drivingRows(), drivingBothHeld);
    send(releaseAFirst ? keyA : keyB, false);
    QCOMPARE(drivingRows(), drivingAfterFirstRelease);
    send(releaseAFirst ? keyB : keyA, false);
    QCOMPARE(drivingRows(), QList<int>());
    QCOMPARE(fakeDuties(), duties);
    QCOMPARE(fakeCalls(QStringLiteral("SetOutPwmValues")).first(), QStringLiteral("SetOutPwmValues(5, 0, 3, 300)"));
    QVERIFY(bindingList().held().isEmpty());
}

void TestKeyControl::padLevels_data()
{
    // On one output: pad A at 300 and the left stick up at 400; on another,
    // the left trigger at 2. Each step is "input level" (0 to 32767).
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<int>>("duties");
    QTest::newRow("stick moved within one value sends once")
        << QStringList{"LS 16384", "LS 16390", "LS 16400", "LS 0"} << QList<int>{175, 0};
    QTest::newRow("stick in proportion and back") << QStringList{"LS 16384", "LS 32767", "LS 0"}
                                                  << QList<int>{175, 400, 0};
    QTest::newRow("dead zone drives nothing") << QStringList{"LS 4915", "LS 3000", "LS 0"} << QList<int>{};
    QTest::newRow("stick over a held button, then back to it")
        << QStringList{"A 32767", "LS 32767", "LS 16384", "LS 0", "A 0"} << QList<int>{300, 400, 175, 300, 0};
    QTest::newRow("a stick under a later button waits its turn")
        << QStringList{"LS 32767", "A 32767", "LS 16384", "A 0", "LS 0"} << QList<int>{400, 300, 175, 0};
    QTest::newRow("never below 1") << QStringList{"LT 4916", "LT 32767", "LT 0"} << QList<int>{1, 2, 0};
}

void TestKeyControl::padLevels()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, duties);

    const QHash<QString, quint32> inputs{{"A", pad::A}, {"LS", pad::LeftStickUp}, {"LT", pad::LeftTrigger}};
    bindingList().append(makeBinding(pad::inputText(pad::A), pad::A, 0, 1, true, 300));
    bindingList().append(makeBinding(pad::inputText(pad::LeftStickUp), pad::LeftStickUp, 0, 1, true, 400));
    bindingList().append(makeBinding(pad::inputText(pad::LeftTrigger), pad::LeftTrigger, 0, 2, true, 2));
    for (const QString &step : steps)
        bindingList().handleInput(inputs.value(step.section(' ', 0, 0)), step.section(' ', 1).toInt());
    QCOMPARE(fakeDuties(), duties);
    QVERIFY(bindingList().held().isEmpty());
}

void TestKeyControl::oneKeyTwoOutputs()
{
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 0, false, 200));
    bindingList().append(makeBinding(QStringLiteral("b"), 'B', 0, 0, false, 50));
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 2, 3, true, 400));
    send(keyA, true);
    send(keyA, false);
    QCOMPARE(fakeCalls(), (QStringList{"SetOutPwmValues(5, 0, 0, 200)", "SetOutPwmValues(5, 2, 7, 400)",
                                       "SetOutPwmValues(5, 0, 0, 0)", "SetOutPwmValues(5, 2, 7, 0)"}));
}

void TestKeyControl::oneKeyTwiceOnOneOutput()
{
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 1, 2, false, 200));
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 1, 2, false, 400));
    send(keyA, true);
    send(keyA, false);
    QCOMPARE(fakeDuties(), (QList<int>{200, 400, 400, 0}));
}

void TestKeyControl::autoRepeatSendsNothing()
{
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 0, true, 512));
    send(keyA, true);
    for (int i = 0; i < 5; ++i) {
        send(keyA, false, Qt::NoModifier, true);
        send(keyA, true, Qt::NoModifier, true);
    }
    send(keyA, false);
    QCOMPARE(fakeDuties(), (QList<int>{512, 0}));
}

void TestKeyControl::nothingWhileStopped()
{
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 0, true, 512));
    ftConnection().transferAreaRunning = false;
    send(keyA, true);
    QVERIFY(bindingList().held().isEmpty());
    send(keyA, false);
    QCOMPARE(fakeCalls(), QStringList());
    // A key without a binding does nothing either, running or not.
    ftConnection().transferAreaRunning = true;
    send(keyC, true);
    send(keyC, false);
    QCOMPARE(fakeCalls(), QStringList());
}

void TestKeyControl::releaseWithShiftStopsMotor()
{
    // X11 reports another keysym for the release when Shift went down in
    // between; the motor must stop all the same.
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 0, true, 512));
    send(keyA, true);
    send(keyA, false, Qt::ShiftModifier);
    QCOMPARE(fakeDuties(), (QList<int>{512, 0}));
    QVERIFY(bindingList().held().isEmpty());
}

void TestKeyControl::valuesFromFilePassedUnchanged()
{
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 12, 5, true, 9999));
    bindingList().append(makeBinding(QStringLiteral("b"), 'B', -1, 0, false, -3));
    send(keyA, true);
    send(keyB, true);
    send(keyA, false);
    QCOMPARE(fakeCalls(), (QStringList{"SetOutPwmValues(5, 12, 11, 9999)", "SetOutPwmValues(5, -1, 0, -3)",
                                       "SetOutPwmValues(5, 12, 11, 0)"}));
}

void TestKeyControl::deactivationStopsHeldOutputsOnce()
{
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 1, false, 300));
    bindingList().append(makeBinding(QStringLiteral("b"), 'B', 0, 1, false, 100));
    bindingList().append(makeBinding(QStringLiteral("c"), 'C', 3, 2, true, 200));
    send(keyA, true);
    send(keyB, true);
    send(keyC, true);
    fakeFtClearLog();

    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    QTRY_VERIFY(!window->isActiveWindow());
    QStringList calls = fakeCalls();
    calls.sort();
    QCOMPARE(calls, (QStringList{"SetOutPwmValues(5, 0, 2, 0)", "SetOutPwmValues(5, 3, 5, 0)"}));
    QVERIFY(bindingList().held().isEmpty());
    QCOMPARE(drivingRows(), QList<int>());

    // Back again: the keys were let go elsewhere; releasing them now only
    // repeats the zeros, and nothing is sent twice on the way.
    QApplication::setActiveWindow(window);
    QTRY_VERIFY(window->isActiveWindow());
    QApplication::setActiveWindow(&other);
    QTRY_VERIFY(!window->isActiveWindow());
    QCOMPARE(fakeCalls().size(), 2);
    other.close();
}

void TestKeyControl::startStopDisconnectForgetHeldKeys_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("running");
    QTest::newRow("stop") << "pushButton_5" << true;
    QTest::newRow("disconnect") << "pushButton_3" << true;
    QTest::newRow("start") << "pushButton_4" << false;
}

void TestKeyControl::startStopDisconnectForgetHeldKeys()
{
    QFETCH(QString, button);
    QFETCH(bool, running);

    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 0, true, 300));
    window->updateBindingsTable();
    send(keyA, true);
    QVERIFY(!bindingList().held().isEmpty());
    QCOMPARE(drivingRows(), QList<int>{0});
    ftConnection().transferAreaRunning = running;
    window->updateConnectionWidgets();
    fakeFtClearLog();
    window->findChild<QPushButton *>(button)->click();
    // A stop lets go of the held output at the click, before it waits for
    // the controller's answer.
    QCOMPARE(fakeDuties(), running ? QList<int>{0} : QList<int>());
    QVERIFY(waitForConnectionPanel(*window));
    QVERIFY(bindingList().held().isEmpty());
    QCOMPARE(drivingRows(), QList<int>());

    // A later press and release on that output ends at 0 again.
    ftConnection().transferAreaRunning = true;
    fakeFtClearLog();
    send(keyA, true);
    send(keyA, false);
    QCOMPARE(fakeDuties(), (QList<int>{300, 0}));
}

void TestKeyControl::keyboardLossStopsHeldOutputs_data()
{
    QTest::addColumn<QString>("loss");
    QTest::newRow("menu of the menu bar") << "menu";
    QTest::newRow("port list popup") << "ports";
    QTest::newRow("focus window gone") << "no focus window";
    QTest::newRow("minimized") << "minimized";
    QTest::newRow("hidden") << "hidden";
}

void TestKeyControl::keyboardLossStopsHeldOutputs()
{
    QFETCH(QString, loss);

    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 1, false, 300));
    bindingList().append(makeBinding(QStringLiteral("c"), 'C', 3, 2, true, 200));
    window->updateBindingsTable();
    send(keyA, true);
    send(keyC, true);
    QCOMPARE(drivingRows(), (QList<int>{0, 1}));
    fakeFtClearLog();

    QMenu *menu = window->findChild<QMenu *>(QStringLiteral("menu"));
    auto *ports = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    if (loss == "menu") {
        // The window stays the active one while its menu is open.
        menu->popup(window->mapToGlobal(QPoint(10, 20)));
        QVERIFY(QTest::qWaitForWindowExposed(menu));
        QVERIFY(window->isActiveWindow());
    } else if (loss == "ports") {
        ports->addItems({QStringLiteral("/dev/ttyACM0 ROBO TX Controller"), QStringLiteral("/dev/ttyACM1")});
        window->updateConnectionWidgets();
        ports->showPopup();
    } else if (loss == "no focus window") {
        QApplication::setActiveWindow(nullptr);
    } else if (loss == "minimized") {
        window->showMinimized();
    } else if (loss == "hidden") {
        window->hide();
    }
    QTRY_COMPARE(fakeCalls().size(), 2);
    QStringList calls = fakeCalls();
    calls.sort();
    QCOMPARE(calls, (QStringList{"SetOutPwmValues(5, 0, 2, 0)", "SetOutPwmValues(5, 3, 5, 0)"}));
    QVERIFY(bindingList().held().isEmpty());
    QCOMPARE(drivingRows(), QList<int>());

    // The releases, wherever they went, find nothing left to stop.
    send(keyA, false);
    send(keyC, false);
    QCOMPARE(fakeCalls().size(), 2);
    menu->close();
    ports->hidePopup();
}

void TestKeyControl::listChangeStopsHeldOutputs_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QList<int>>("dutiesAfter"); // another press and release of A
    QTest::newRow("New") << "New" << QList<int>{};
    QTest::newRow("Open") << "Open" << QList<int>{300, 0};
    QTest::newRow("Delete") << "Delete" << QList<int>{300, 0};
    QTest::newRow("editor OK") << "editor OK" << QList<int>{150, 0};
}

void TestKeyControl::listChangeStopsHeldOutputs()
{
    QFETCH(QString, change);
    QFETCH(QList<int>, dutiesAfter);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString listFile = dir.filePath(QStringLiteral("more.kvr"));
    QVERIFY(writeFileBytes(listFile, "x|88|1|0|0|100\n"));

    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 1, false, 300));
    bindingList().append(makeBinding(QStringLiteral("b"), 'B', 0, 2, false, 100));
    window->updateBindingsTable();
    send(keyA, true);
    fakeFtClearLog();

    if (change == "New") {
        closer->queueButton(QStringLiteral("Не сохранять"));
        window->findChild<QAction *>(QStringLiteral("action"))->trigger();
    } else if (change == "Open") {
        closer->queueFileName(listFile);
        window->findChild<QAction *>(QStringLiteral("action_2"))->trigger();
        QCOMPARE(bindingList().size(), 3);
    } else if (change == "Delete") {
        // B's row: A's binding stays, but the list is not the one A was
        // pressed with.
        window->findChild<QTableWidget *>(QStringLiteral("tableWidget"))->selectRow(1);
        window->findChild<QPushButton *>(QStringLiteral("pushButton_8"))->click();
        QCOMPARE(bindingList().size(), 1);
    } else if (change == "editor OK") {
        // What the editor's OK writes, without its window taking the focus.
        bindingList().at(0).speed = 150;
        window->buttonsChanged();
    }
    QCOMPARE(fakeCalls(), QStringList{"SetOutPwmValues(5, 0, 2, 0)"});
    QVERIFY(bindingList().held().isEmpty());
    QCOMPARE(drivingRows(), QList<int>());

    // Letting go sends nothing more; a new press drives the list as it is now.
    send(keyA, false);
    QCOMPARE(fakeCalls().size(), 1);
    fakeFtClearLog();
    send(keyA, true);
    send(keyA, false);
    QCOMPARE(fakeDuties(), dutiesAfter);
}

void TestKeyControl::releaseUndoesWhatPressDid_data()
{
    // Changes made to the list behind the program's back while A is held.
    QTest::addColumn<QString>("change");
    QTest::newRow("binding erased") << "erase";
    QTest::newRow("speed changed") << "speed";
    QTest::newRow("moved to another output") << "output";
    QTest::newRow("bound to another key") << "key";
    QTest::newRow("list cleared") << "clear";
}

void TestKeyControl::releaseUndoesWhatPressDid()
{
    QFETCH(QString, change);

    bindingList().append(makeBinding(QStringLiteral("b"), 'B', 0, 0, false, 100));
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 2, 1, true, 400));
    send(keyA, true);
    send(keyB, true);
    fakeFtClearLog();

    KeyBinding &a = bindingList().at(1);
    if (change == "erase")
        bindingList().erase(1);
    else if (change == "speed")
        a.speed = 250;
    else if (change == "output")
        a.motor = 3;
    else if (change == "key")
        a.keyCode = 'C';
    else if (change == "clear")
        bindingList().clear();

    send(keyA, false);
    QCOMPARE(fakeCalls(), QStringList{"SetOutPwmValues(5, 2, 3, 0)"});
    QCOMPARE(bindingList().held().size(), 1);
    // A key that is not held sends nothing on release.
    send(keyC, false);
    QCOMPARE(fakeCalls().size(), 1);
}

void TestKeyControl::releaseInAnotherWindow()
{
    // A window that does not take the focus, so the main window stays
    // active and only the release itself can stop the motor.
    QWidget other;
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));
    QApplication::setActiveWindow(window);
    QTRY_VERIFY(window->isActiveWindow());

    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 0, true, 512));
    send(keyA, true);
    QTest::keyRelease(other.windowHandle(), Qt::Key_A);
    QCOMPARE(fakeDuties(), (QList<int>{512, 0}));
    QVERIFY(bindingList().held().isEmpty());

    // The main window's own releases are passed on once, not twice.
    bindingList().append(makeBinding(QStringLiteral("b"), 'B', 0, 0, true, 100));
    fakeFtClearLog();
    send(keyA, true);
    send(keyB, true);
    QTest::keyRelease(window->windowHandle(), Qt::Key_B);
    QTest::keyRelease(window->windowHandle(), Qt::Key_A);
    QCOMPARE(fakeDuties(), (QList<int>{512, 100, 512, 0}));
    other.close();
}

QTEST_MAIN(TestKeyControl)
#include "tst_keycontrol.moc"
