// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAction>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/forminputs.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"
#include "tests/fakecalls.h"
#include "tests/testsupport.h"
#include "tests/windowtest.h"

// The marks the bindings table shows beside the list: rows that cannot work
// on the connected controller, keys bound twice, rows stopped at their end
// switch (and what the library was told of the switches).
class TestRowMarks : public WindowTest
{
    Q_OBJECT

private slots:
    void rowsThatCannotWork_data();
    void rowsThatCannotWork();
    void conflictsFlagged_data();
    void conflictsFlagged();
    void stoppedAtEndSwitch_data();
    void stoppedAtEndSwitch();
    void libraryWithoutEndSwitches();
    void inputsWindow();

private:
    QString rowTip(int row) const;
    // The A key pressed and let go as X11 reports it.
    void pressAndReleaseA();
};

QString TestRowMarks::rowTip(int row) const
{
    return window->findChild<QTableWidget *>(QStringLiteral("tableWidget"))->item(row, 0)->toolTip();
}

void TestRowMarks::pressAndReleaseA()
{
    for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QKeyEvent event = platformKeyEvent(type, Qt::Key_A, 38, 'a', QStringLiteral("a"));
        QApplication::sendEvent(window, &event);
    }
}

void TestRowMarks::rowsThatCannotWork_data()
{
    QTest::addColumn<int>("controller");
    QTest::addColumn<uint>("answer"); // the library's to the duty
    QTest::addColumn<QString>("tip");
    // Connected through the library to this port list entry, which says it
    // opened a controller of `kind` (see fakeDeviceKind); a ROBO TX when empty.
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("kind");
    QTest::newRow("extension off the bus") << 3 << uint(FTLIB_ERR_NO_SUCH_DEVICE_INSTANCE)
        << "Расширения 3 нет на шине контроллера: эта привязка сейчас ничего не двигает." << "" << 0;
    QTest::newRow("no such extension number") << 12 << uint(FTLIB_ERR_INVALID_PARAM)
        << "У контроллера нет расширения с номером 12: эта привязка ничего не двигает." << "" << 0;
    QTest::newRow("extension there") << 3 << uint(FTLIB_ERR_SUCCESS) << "" << "" << 0;
    // What the library opened counts, not what the port's name suggests.
    const QString serial = QStringLiteral("/dev/ttyACM0 ROBO TX Controller");
    const QString address = QStringLiteral("192.168.7.2 ROBOTICS TXT (USB)");
    QTest::newRow("library says TXT: no Extension 3") << 3 << uint(FTLIB_ERR_SUCCESS)
        << "Контроллер TXT берёт только одно расширение: расширения 3 у него нет, эта привязка ничего не двигает."
        << serial << int(FT_DEVICE_ROBOTICS_TXT);
    QTest::newRow("library says ROBO TX: Extension 3 there") << 3 << uint(FTLIB_ERR_SUCCESS) << "" << address
                                                             << int(FT_DEVICE_ROBO_TX);
    QTest::newRow("no kind entry point: the name says TXT") << 1 << uint(FTLIB_ERR_NO_SUCH_DEVICE_INSTANCE)
        << "Контроллер TXT не сообщил о расширении 1 (он сообщает о нём после \"Старт\"): эта привязка сейчас "
           "ничего не двигает."
        << address << -1;
}

// A binding whose controller the device does not have is dimmed, with why,
// once its key was pressed (the library answers so) and as long as the
// controller is connected; nothing else changes.
void TestRowMarks::rowsThatCannotWork()
{
    QFETCH(int, controller);
    QFETCH(uint, answer);
    QFETCH(QString, tip);
    QFETCH(QString, port);
    QFETCH(int, kind);

    if (!port.isEmpty()) {
        ftConnection() = FtConnection();
        fakeDeviceKind(kind);
        fakeSetPorts({port});
        for (const char *button : {"pushButton", "pushButton_2", "pushButton_4"}) {
            window->findChild<QPushButton *>(QLatin1String(button))->click();
            QVERIFY(waitForConnectionPanel(*window));
        }
        QVERIFY(ftConnection().transferAreaRunning);
    }
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', controller, 1, false, 300));
    bindingList().append(makeBinding(QStringLiteral("b"), 'B', 0, 1, false, 100));
    window->updateBindingsTable();
    auto *table = window->findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    const QBrush normal = table->item(1, 1)->foreground();
    if (controller > 8 || kind == FT_DEVICE_ROBOTICS_TXT)
        QCOMPARE(rowTip(0), tip); // known without a press
    fakeFtSetResult("SetOutPwmValues", answer);
    pressAndReleaseA();
    QCOMPARE(rowTip(0), tip);
    QCOMPARE(table->item(0, 1)->foreground() == normal, tip.isEmpty());
    QCOMPARE(rowTip(1), QString());
    // The dimming goes with the connection.
    fakeFtSetResult("SetOutPwmValues", FTLIB_ERR_SUCCESS);
    window->updateConnectionWidgets();
    window->findChild<QPushButton *>(QStringLiteral("pushButton_3"))->click();
    QVERIFY(waitForConnectionPanel(*window));
    QVERIFY(!ftConnection().connected);
    QCOMPARE(rowTip(0), QString());
    QCOMPARE(table->item(0, 1)->foreground(), normal);
}

void TestRowMarks::conflictsFlagged_data()
{
    QTest::addColumn<QList<int>>("second");   // controller, motor, direction of the second A
    QTest::addColumn<QStringList>("tips");    // of rows 0, 1 and 2
    QTest::newRow("the same output twice") << QList<int>{0, 1, 0}
        << QStringList{"Эта клавиша уже ведёт этот выход в строке 3.", "",
                       "Эта клавиша уже ведёт этот выход в строке 1."};
    QTest::newRow("both directions of one motor") << QList<int>{0, 1, 1}
        << QStringList{"Эта клавиша ведёт этот мотор и в другую сторону в строке 3.", "",
                       "Эта клавиша ведёт этот мотор и в другую сторону в строке 1."};
    QTest::newRow("another motor") << QList<int>{0, 2, 0} << QStringList{"", "", ""};
}

// Flagged with the other row named, not refused: the list and its file stay.
void TestRowMarks::conflictsFlagged()
{
    QFETCH(QList<int>, second);
    QFETCH(QStringList, tips);

    bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 1, false, 300));
    bindingList().append(makeBinding(QStringLiteral("b"), 'B', 0, 1, false, 100));
    bindingList().append(makeBinding(QStringLiteral("a"), 'A', second[0], second[1], second[2] != 0, 200));
    window->updateBindingsTable();
    auto *table = window->findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    for (int r = 0; r < 3; ++r) {
        QCOMPARE(rowTip(r), tips[r]);
        QCOMPARE(table->item(r, 0)->icon().isNull(), tips[r].isEmpty());
    }
    QCOMPARE(bindingList().size(), 3);
}

void TestRowMarks::stoppedAtEndSwitch_data()
{
    // Each binding: controller, motor, direction, end switch.
    QTest::addColumn<QList<QList<int>>>("bindings");
    QTest::addColumn<QStringList>("told");     // to the library, for handle 5
    QTest::addColumn<QList<int>>("closed");    // controller, and its inputs that read closed
    QTest::addColumn<QStringList>("tips");     // of each row while they do
    const QString i3 = QStringLiteral("Остановлено: I3 замкнут");
    QTest::newRow("one binding") << QList<QList<int>>{{0, 0, true, 3}, {0, 1, false, 0}}
        << QStringList{"SetFtEndSwitches(5, 0, 1, 4)"} << QList<int>{0, 0x04} << QStringList{i3, ""};
    // An output's switches are those of all its bindings.
    QTest::newRow("two bindings on one output") << QList<QList<int>>{{0, 1, false, 1}, {0, 1, false, 3}}
        << QStringList{"SetFtEndSwitches(5, 0, 2, 5)"} << QList<int>{0, 0x04} << QStringList{"", i3};
    // The other direction drives the model back off the switch.
    QTest::newRow("each direction its own") << QList<QList<int>>{{0, 0, false, 3}, {0, 0, true, 4}}
        << QStringList{"SetFtEndSwitches(5, 0, 0, 4)", "SetFtEndSwitches(5, 0, 1, 8)"} << QList<int>{0, 0x04}
        << QStringList{i3, ""};
    QTest::newRow("an extension's input, not the Master's") << QList<QList<int>>{{2, 3, true, 3}, {0, 3, true, 3}}
        << QStringList{"SetFtEndSwitches(5, 0, 7, 4)", "SetFtEndSwitches(5, 2, 7, 4)"} << QList<int>{2, 0x04}
        << QStringList{i3, ""};
    QTest::newRow("no switch") << QList<QList<int>>{{0, 0, true, 0}} << QStringList() << QList<int>{0, 0xff}
        << QStringList{""};
}

// The library is told each output's switches when the list changes while
// connected, and cleared again; a row whose switch reads closed is marked
// with its input, and unmarked when it opens.
void TestRowMarks::stoppedAtEndSwitch()
{
    QFETCH(QList<QList<int>>, bindings);
    QFETCH(QStringList, told);
    QFETCH(QList<int>, closed);
    QFETCH(QStringList, tips);

    for (const QList<int> &b : bindings) {
        KeyBinding binding = makeBinding(QStringLiteral("k"), 'K' + bindingList().size(), b[0], b[1], b[2] != 0, 300);
        binding.endSwitch = b[3];
        bindingList().append(binding);
    }
    window->updateBindingsTable();
    QCOMPARE(fakeCalls(QStringLiteral("SetFtEndSwitches")), told);

    auto *table = window->findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    const int16_t open[8] = {};
    const int16_t counts[4] = {};
    int16_t values[8] = {};
    for (int n = 0; n < 8; ++n)
        values[n] = closed[1] & (1 << n) ? 1 : 0;
    fakeFtSetInputs(closed[0], values, counts);
    for (int r = 0; r < tips.size(); ++r) {
        QTRY_COMPARE(rowTip(r), tips[r]);
        QCOMPARE(table->item(r, 2)->toolTip(), tips[r]);
    }
    fakeFtSetInputs(closed[0], open, counts);
    for (int r = 0; r < tips.size(); ++r)
        QTRY_COMPARE(rowTip(r), QString());

    // Switches dropped from the list are cleared in the library.
    fakeFtSetInputs(closed[0], values, counts);
    fakeFtClearLog();
    for (int r = 0; r < bindingList().size(); ++r)
        bindingList().at(r).endSwitch = 0;
    window->updateBindingsTable();
    QStringList cleared;
    for (const QString &call : told)
        cleared.append(call.section(QLatin1Char(','), 0, 2) + QStringLiteral(", 0)"));
    QCOMPARE(fakeCalls(QStringLiteral("SetFtEndSwitches")), cleared);
    QTest::qWait(120);
    for (int r = 0; r < tips.size(); ++r)
        QCOMPARE(rowTip(r), QString());
}

// A library without the entry point stops at no switch: the user is told
// so once, at the start, and the keys drive as before.
void TestRowMarks::libraryWithoutEndSwitches()
{
    ftLib().SetFtEndSwitches = nullptr;
    ftConnection().transferAreaRunning = false;
    KeyBinding binding = makeBinding(QStringLiteral("a"), 'A', 0, 1, false, 300);
    binding.endSwitch = 2;
    bindingList().append(binding);
    window->updateBindingsTable();
    for (int start = 0; start < 2; ++start) {
        QVERIFY(QMetaObject::invokeMethod(window, "on_pushButton_4_clicked"));
        QVERIFY(ftConnection().transferAreaRunning);
        ftConnection().transferAreaRunning = false;
    }
    QCOMPARE(closer->seen.size(), 1);
    QCOMPARE(closer->seen[0].text,
             QStringLiteral("Библиотека ftMscLib, с которой работает программа, не поддерживает концевые "
                            "выключатели: моторы не остановятся на них. Привязки с концевыми выключателями "
                            "ведут моторы так же, как без них."));
    ftConnection().transferAreaRunning = true;
    pressAndReleaseA();
    QCOMPARE(fakeDuties(), (QList<int>{300, 0}));
}

// "Входы" shows what the library reports, ten times a second or more;
// closed, it has nothing read.
void TestRowMarks::inputsWindow()
{
    KeyBinding binding = makeBinding(QStringLiteral("a"), 'A', 0, 1, true, 300);
    binding.endSwitch = 2;
    bindingList().append(binding);
    const int16_t universal[8] = {0, 1, 0, 0, 0, 0, 0, 512};
    const int16_t counts[4] = {7, 0, 0, 65};
    fakeFtSetInputs(0, universal, counts);
    ftConnection().missingExtensions = 0xff;
    window->findChild<QAction *>(QStringLiteral("action_12"))->trigger();
    QWidget *inputs = findTopLevel<FormInputs>();
    QVERIFY(inputs && inputs->isVisible());
    auto *table = inputs->findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    // Rows I1-I8 and C1-C4 of the Master; the switch's binding is listed once
    // the library was told of it.
    QTRY_COMPARE(table->rowCount(), 12);
    QCOMPARE(table->item(7, 2)->text(), QStringLiteral("512"));
    QCOMPARE(table->item(8, 2)->text(), QStringLiteral("7"));
    QCOMPARE(table->item(11, 1)->text(), QStringLiteral("C4"));
    QCOMPARE(table->item(1, 2)->text(), QStringLiteral("1"));
    window->updateBindingsTable();
    QTRY_COMPARE(table->item(1, 2)->text(), QStringLiteral("замкнут"));
    QCOMPARE(table->item(1, 3)->text(), QStringLiteral("a (M2 --->)"));
    fakeFtClearLog();
    QTest::qWait(500);
    QVERIFY(fakeCalls(QStringLiteral("GetFtInputState")).size() >= 5);

    bindingList().clear();
    window->updateBindingsTable();
    inputs->close();
    fakeFtClearLog();
    QTest::qWait(150);
    QCOMPARE(fakeCalls(QStringLiteral("GetFtInputState")), QStringList());
}

QTEST_MAIN(TestRowMarks)
#include "tst_rowmarks.moc"
