// SPDX-License-Identifier: GPL-3.0-or-later
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "tests/fakecalls.h"
#include "tests/testsupport.h"
#include "tests/windowtest.h"

// The marks the bindings table shows beside the list: rows that cannot work
// on the connected controller, keys bound twice.
class TestRowMarks : public WindowTest
{
    Q_OBJECT

private slots:
    void rowsThatCannotWork_data();
    void rowsThatCannotWork();
    void conflictsFlagged_data();
    void conflictsFlagged();

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

QTEST_MAIN(TestRowMarks)
#include "tst_rowmarks.moc"
