// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "editor/formeditor.h"
#include "tests/testsupport.h"

namespace {

QStringList rowTexts(QTableWidget *table, int row)
{
    QStringList texts;
    for (int c = 0; c < table->columnCount(); ++c)
        texts.append(table->item(row, c)->text());
    return texts;
}

QStringList keyTexts()
{
    QStringList texts;
    for (int i = 0; i < bindingList().size(); ++i)
        texts.append(bindingList().at(i).keyText);
    return texts;
}

QList<int> selectedRows(QTableWidget *table)
{
    QList<int> rows;
    for (const QModelIndex &index : table->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void clickRow(QTableWidget *table, int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    const QRect cell = table->visualRect(table->model()->index(row, 1));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, modifiers, cell.center());
}

} // namespace

class TestBindingsTable : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void cellTexts_data();
    void cellTexts();
    void addSelectsNewRow();
    void editKeepsRowSelected();
    void deleteSelectedRows_data();
    void deleteSelectedRows();
    void editWithoutCurrentRowAdds();
    void doubleClickEditsRow();
    void rebuildWithStaleEditedRow();

private:
    MainWindow *window = nullptr;
    QTableWidget *table = nullptr;
    FormEditor *editor = nullptr;
    ModalCloser *closer = nullptr;
};

void TestBindingsTable::init()
{
    resetProgramState();
    closer = new ModalCloser(this);
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    table = window->findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    editor = findTopLevel<FormEditor>();
}

void TestBindingsTable::cleanup()
{
    window->close();
    delete window;
    delete closer;
    QCOMPARE(visibleTopLevelWindows(), QStringList());
}

void TestBindingsTable::cellTexts_data()
{
    QTest::addColumn<int>("controller");
    QTest::addColumn<int>("motor");
    QTest::addColumn<bool>("direction");
    QTest::addColumn<int>("speed");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("smallest") << 0 << 0 << false << 1 << QStringList{"k", "Master", "M1", "<---", "1"};
    QTest::newRow("largest") << 8 << 3 << true << 512 << QStringList{"k", "Extension 8", "M4", "--->", "512"};
    QTest::newRow("from a file: negative") << -1 << -1 << false << -5 << QStringList{"k", "Extension -1", "M0", "<---", "-5"};
    QTest::newRow("from a file: largest int") << 12 << 2147483647 << true << 2147483647
                                               << QStringList{"k", "Extension 12", "M-2147483648", "--->", "2147483647"};
}

void TestBindingsTable::cellTexts()
{
    QFETCH(int, controller);
    QFETCH(int, motor);
    QFETCH(bool, direction);
    QFETCH(int, speed);
    QFETCH(QStringList, expected);

    bindingList().append(makeBinding(QStringLiteral("k"), 0, controller, motor, direction, speed));
    window->updateBindingsTable();
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(rowTexts(table, 0), expected);
}

void TestBindingsTable::addSelectsNewRow()
{
    auto *save = window->findChild<QAction *>(QStringLiteral("action_5"));
    auto *saveAs = window->findChild<QAction *>(QStringLiteral("action_6"));
    // More rows than the table shows: the new one comes below them.
    for (int i = 0; i < 20; ++i)
        bindingList().append(makeBinding(QStringLiteral("k"), 'K', 0, 0, false, 10));
    window->updateBindingsTable();
    for (const QString &key : {QStringLiteral("q"), QStringLiteral("w")}) {
        window->findChild<QPushButton *>(QStringLiteral("pushButton_6"))->click();
        QKeyEvent press = platformKeyEvent(QEvent::KeyPress, key.at(0).toUpper().unicode(), 0, 0, key);
        QApplication::sendEvent(editor->findChild<QWidget *>(QStringLiteral("lineEdit")), &press);
        editor->findChild<QRadioButton *>(QStringLiteral("radioButton_2"))->click();
        editor->findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
        QCOMPARE(table->rowCount(), bindingList().size());
        QCOMPARE(table->currentRow(), bindingList().size() - 1);
        QCOMPARE(selectedRows(table), QList<int>{bindingList().size() - 1});
        // ...and is scrolled into view.
        QVERIFY(table->viewport()->rect().contains(table->visualItemRect(table->currentItem())));
    }
    QCOMPARE(rowTexts(table, 21), (QStringList{"w", "Master", "M1", "--->", "1"}));
    QVERIFY(window->findChild<QPushButton *>(QStringLiteral("pushButton_7"))->isEnabled());
    QVERIFY(window->findChild<QPushButton *>(QStringLiteral("pushButton_8"))->isEnabled());
    QVERIFY(save->isEnabled());
    QVERIFY(saveAs->isEnabled());
}

void TestBindingsTable::editKeepsRowSelected()
{
    for (const char *k : {"a", "b", "c", "d", "e"})
        bindingList().append(makeBinding(QLatin1String(k), 0, 0, 0, false, 10));
    window->updateBindingsTable();
    clickRow(table, 2);
    window->findChild<QPushButton *>(QStringLiteral("pushButton_7"))->click();
    QCOMPARE(editor->editedRow, 2);
    editor->findChild<QRadioButton *>(QStringLiteral("radioButton_2"))->click();
    editor->findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
    QCOMPARE(keyTexts(), (QStringList{"a", "b", "c", "d", "e"}));
    QCOMPARE(rowTexts(table, 2).at(3), QStringLiteral("--->"));
    QCOMPARE(table->currentRow(), 2);
    QCOMPARE(selectedRows(table), QList<int>{2});
}

void TestBindingsTable::deleteSelectedRows_data()
{
    QTest::addColumn<QList<int>>("clicks"); // first plain, then with Ctrl
    QTest::addColumn<QStringList>("left");

    QTest::newRow("rows 3 then 1") << QList<int>{3, 1} << QStringList{"a", "c", "e"};
    QTest::newRow("first and last") << QList<int>{0, 4} << QStringList{"b", "c", "d"};
    QTest::newRow("one row") << QList<int>{2} << QStringList{"a", "b", "d", "e"};
    QTest::newRow("all rows") << QList<int>{4, 0, 1, 2, 3} << QStringList();
}

void TestBindingsTable::deleteSelectedRows()
{
    QFETCH(QList<int>, clicks);
    QFETCH(QStringList, left);

    for (const char *k : {"a", "b", "c", "d", "e"})
        bindingList().append(makeBinding(QLatin1String(k), 0, 0, 0, false, 10));
    window->updateBindingsTable();
    listSaved() = true;
    for (int i = 0; i < clicks.size(); ++i)
        clickRow(table, clicks.at(i), i == 0 ? Qt::NoModifier : Qt::ControlModifier);
    QCOMPARE(selectedRows(table).size(), clicks.size());

    window->findChild<QPushButton *>(QStringLiteral("pushButton_8"))->click();
    QCOMPARE(keyTexts(), left);
    QCOMPARE(table->rowCount(), left.size());
    for (int r = 0; r < left.size(); ++r)
        QCOMPARE(table->item(r, 0)->text(), left.at(r));
    QCOMPARE(selectedRows(table), QList<int>());
    QVERIFY(!window->findChild<QPushButton *>(QStringLiteral("pushButton_7"))->isEnabled());
    QVERIFY(!window->findChild<QPushButton *>(QStringLiteral("pushButton_8"))->isEnabled());
    QVERIFY(!listSaved());
    QVERIFY(window->findChild<QAction *>(QStringLiteral("action_5"))->isEnabled());
}

void TestBindingsTable::editWithoutCurrentRowAdds()
{
    bindingList().append(makeBinding(QStringLiteral("a"), 0, 0, 0, false, 10));
    window->updateBindingsTable();
    table->setCurrentCell(-1, -1);
    QCOMPARE(table->currentRow(), -1);
    QMetaObject::invokeMethod(window, "on_pushButton_7_clicked");
    QVERIFY(editor->isVisible());
    QCOMPARE(editor->editedRow, -1);
    QCOMPARE(editor->findChild<QLineEdit *>(QStringLiteral("lineEdit"))->text(), QStringLiteral("Введите..."));
}

void TestBindingsTable::doubleClickEditsRow()
{
    for (const char *k : {"a", "b", "c"})
        bindingList().append(makeBinding(QLatin1String(k), 0, 0, 0, false, 10));
    window->updateBindingsTable();
    const QRect cell = table->visualRect(table->model()->index(1, 0));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    QVERIFY(editor->isVisible());
    QCOMPARE(editor->editedRow, 1);
    QCOMPARE(table->viewport()->findChildren<QLineEdit *>().size(), 0); // no in-place editor
}

void TestBindingsTable::rebuildWithStaleEditedRow()
{
    for (const char *k : {"a", "b", "c"})
        bindingList().append(makeBinding(QLatin1String(k), 0, 0, 0, false, 10));
    editor->editedRow = 7;
    window->updateBindingsTable();
    QCOMPARE(table->rowCount(), 3);
    QCOMPARE(selectedRows(table), QList<int>());
    QVERIFY(!window->findChild<QPushButton *>(QStringLiteral("pushButton_7"))->isEnabled());
}

QTEST_MAIN(TestBindingsTable)
#include "tst_bindingstable.moc"
