// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "editor/formeditor.h"
#include "editor/qlineeditextforkey.h"
#include "tests/testsupport.h"

namespace {

template<typename T>
T *child(QWidget &parent, const char *name)
{
    T *found = parent.findChild<T *>(QLatin1String(name));
    Q_ASSERT(found);
    return found;
}

void pressKey(QWidget *target, int key, quint32 scanCode, const QString &text)
{
    QKeyEvent press = platformKeyEvent(QEvent::KeyPress, key, scanCode, 0, text);
    QApplication::sendEvent(target, &press);
}

} // namespace

class TestFormEditor : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void window();
    void validation_data();
    void validation();
    void addAppendsAndHidesBeforeSignal();
    void unchangedEditWritesSameValues();
    void numbersNoBoxShowsAreKept();
    void newBindingDefaults();
    void speedCoupling();
    void cancelChangesNothing();
    void retargetAfterDelete_data();
    void retargetAfterDelete();
    void retargetAfterNew();

private:
    ModalCloser *closer = nullptr;
};

void TestFormEditor::init()
{
    resetProgramState();
    closer = new ModalCloser(this);
}

void TestFormEditor::cleanup()
{
    delete closer;
    QCOMPARE(visibleTopLevelWindows(), QStringList());
}

void TestFormEditor::window()
{
    FormEditor editor;
    QCOMPARE(editor.objectName(), QStringLiteral("FormEditor"));
    QCOMPARE(editor.windowTitle(), QStringLiteral("Новая клавиша"));
    QCOMPARE(editor.size(), QSize(230, 210));
    QCOMPARE(editor.minimumSize(), QSize(230, 210));
    QCOMPARE(editor.maximumSize(), QSize(230, 210));
    QVERIFY(editor.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!editor.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!editor.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!editor.isModal());
    QCOMPARE(editor.editedRow, -1);

    auto items = [](QComboBox *box) {
        QStringList texts;
        for (int i = 0; i < box->count(); ++i)
            texts.append(box->itemText(i));
        return texts;
    };
    QCOMPARE(items(child<QComboBox>(editor, "comboBox")),
             (QStringList{"Master", "Extension 1", "Extension 2", "Extension 3", "Extension 4", "Extension 5",
                          "Extension 6", "Extension 7", "Extension 8"}));
    QCOMPARE(items(child<QComboBox>(editor, "comboBox_3")), (QStringList{"M1", "M2", "M3", "M4"}));
    QCOMPARE(items(child<QComboBox>(editor, "comboBox_2")),
             (QStringList{"нет", "I1", "I2", "I3", "I4", "I5", "I6", "I7", "I8"}));
    auto *slider = child<QSlider>(editor, "horizontalSlider");
    QCOMPARE(slider->tickPosition(), QSlider::TicksAbove);
    QCOMPARE(slider->tickInterval(), 32);
    QVERIFY(child<QRadioButton>(editor, "radioButton")->isChecked());
    QCOMPARE(child<QRadioButton>(editor, "radioButton")->text(), QStringLiteral("<--"));
    QCOMPARE(child<QRadioButton>(editor, "radioButton_2")->text(), QStringLiteral("-->"));
    QCOMPARE(child<QLineEditExtForKey>(editor, "lineEdit")->text(), QStringLiteral("Введите..."));
}

void TestFormEditor::validation_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<uint>("scanCode");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("chooseDirection");
    QTest::addColumn<QString>("message");

    QTest::newRow("nothing: the key wins") << 0 << 0u << "" << false << "Введите клавишу";
    QTest::newRow("key, no direction") << int(Qt::Key_W) << 25u << "w" << false << "Выберите направление вращения";
    QTest::newRow("direction, no key") << 0 << 0u << "" << true << "Введите клавишу";
    QTest::newRow("Backspace as key") << int(Qt::Key_Backspace) << 22u << "\b" << true << "Введите клавишу";
    QTest::newRow("F1 as key") << int(Qt::Key_F1) << 67u << "" << true << "Введите клавишу";
    QTest::newRow("key and direction") << int(Qt::Key_W) << 25u << "w" << true << "";
}

void TestFormEditor::validation()
{
    QFETCH(int, key);
    QFETCH(uint, scanCode);
    QFETCH(QString, text);
    QFETCH(bool, chooseDirection);
    QFETCH(QString, message);

    FormEditor editor;
    QSignalSpy changed(&editor, &FormEditor::buttonsChanged);
    editor.prepareForRow(-1);
    editor.show();
    if (key)
        pressKey(child<QWidget>(editor, "lineEdit"), key, scanCode, text);
    if (chooseDirection)
        child<QRadioButton>(editor, "radioButton_2")->click();
    child<QPushButton>(editor, "pushButton")->click();

    if (message.isEmpty()) {
        QCOMPARE(closer->seen.size(), 0);
        QCOMPARE(bindingList().size(), 1);
        QCOMPARE(changed.count(), 1);
        QVERIFY(!editor.isVisible());
    } else {
        QCOMPARE(closer->seen.size(), 1);
        QCOMPARE(closer->seen.at(0).title, QStringLiteral("Kavrik"));
        QCOMPARE(closer->seen.at(0).text, message);
        QCOMPARE(closer->seen.at(0).icon, QMessageBox::Warning);
        QCOMPARE(bindingList().size(), 0);
        QCOMPARE(changed.count(), 0);
        QVERIFY(editor.isVisible()); // the input stays for the user to complete
        editor.close();
    }
}

void TestFormEditor::addAppendsAndHidesBeforeSignal()
{
    bindingList().append(makeBinding("a", 65, 0, 0, false, 10));
    FormEditor editor;
    bool hiddenAtSignal = false;
    connect(&editor, &FormEditor::buttonsChanged, this, [&] { hiddenAtSignal = !editor.isVisible(); });
    editor.prepareForRow(-1);
    editor.show();
    pressKey(child<QWidget>(editor, "lineEdit"), Qt::Key_D, 40, QStringLiteral("d"));
    child<QComboBox>(editor, "comboBox")->setCurrentIndex(3);
    child<QComboBox>(editor, "comboBox_3")->setCurrentIndex(2);
    child<QRadioButton>(editor, "radioButton")->click();
    child<QSpinBox>(editor, "spinBox")->setValue(250);
    child<QComboBox>(editor, "comboBox_2")->setCurrentIndex(2);
    child<QPushButton>(editor, "pushButton")->click();

    QVERIFY(hiddenAtSignal);
    QCOMPARE(bindingList().size(), 2);
    KeyBinding added = makeBinding("d", 68, 3, 2, false, 250);
    added.endSwitch = 2;
    QCOMPARE(bindingList().at(1), added);
}

void TestFormEditor::unchangedEditWritesSameValues()
{
    KeyBinding edited = makeBinding("w", 87, 8, 3, true, 512);
    edited.endSwitch = 8;
    bindingList().append(makeBinding("a", 65, 0, 0, false, 1));
    bindingList().append(edited);
    bindingList().append(makeBinding("s", 83, 1, 1, false, 7));
    FormEditor editor;
    QSignalSpy changed(&editor, &FormEditor::buttonsChanged);
    editor.prepareForRow(1);
    editor.show();
    QCOMPARE(editor.editedRow, 1);
    QCOMPARE(child<QLineEditExtForKey>(editor, "lineEdit")->text(), QStringLiteral("w"));
    child<QPushButton>(editor, "pushButton")->click();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(bindingList().size(), 3);
    QCOMPARE(bindingList().at(1), edited);
}

void TestFormEditor::numbersNoBoxShowsAreKept()
{
    // A list file may hold controller 12 and motor 5, which no box lists.
    bindingList().append(makeBinding("x", 88, 12, 5, true, 200));
    FormEditor editor;
    editor.prepareForRow(0);
    editor.show();
    child<QPushButton>(editor, "pushButton")->click();
    QCOMPARE(bindingList().at(0), makeBinding("x", 88, 12, 5, true, 200));

    // A new binding after that starts from Master and M1, not from nothing.
    editor.prepareForRow(-1);
    editor.show();
    QKeyEvent press = platformKeyEvent(QEvent::KeyPress, Qt::Key_Y, 29, 0x79, QStringLiteral("y"));
    QApplication::sendEvent(child<QWidget>(editor, "lineEdit"), &press);
    child<QRadioButton>(editor, "radioButton")->click();
    child<QPushButton>(editor, "pushButton")->click();
    QCOMPARE(bindingList().at(1).controller, 0);
    QCOMPARE(bindingList().at(1).motor, 0);
}

void TestFormEditor::newBindingDefaults()
{
    bindingList().append(makeBinding("e", 69, 5, 2, true, 300));
    bindingList().at(0).endSwitch = 4;
    FormEditor editor;
    editor.prepareForRow(0);
    editor.show();
    child<QPushButton>(editor, "pushButton_2")->click(); // cancel
    editor.prepareForRow(-1);
    QCOMPARE(editor.editedRow, -1);
    QCOMPARE(child<QLineEditExtForKey>(editor, "lineEdit")->text(), QStringLiteral("Введите..."));
    QVERIFY(!child<QRadioButton>(editor, "radioButton")->isChecked());
    QVERIFY(!child<QRadioButton>(editor, "radioButton_2")->isChecked());
    QCOMPARE(child<QSlider>(editor, "horizontalSlider")->value(), 1);
    QCOMPARE(child<QSpinBox>(editor, "spinBox")->value(), 1);
    QCOMPARE(child<QComboBox>(editor, "comboBox_2")->currentIndex(), 0);
    // The boxes keep what the last use left, for a series of similar keys.
    QCOMPARE(child<QComboBox>(editor, "comboBox")->currentIndex(), 5);
    QCOMPARE(child<QComboBox>(editor, "comboBox_3")->currentIndex(), 2);
    QCOMPARE(child<QLineEditExtForKey>(editor, "lineEdit")->capturedCode, 69);
    QCOMPARE(editor.windowTitle(), QStringLiteral("Новая клавиша"));
}

void TestFormEditor::speedCoupling()
{
    FormEditor editor;
    auto *slider = child<QSlider>(editor, "horizontalSlider");
    auto *spin = child<QSpinBox>(editor, "spinBox");
    slider->setValue(512);
    QCOMPARE(spin->value(), 512);
    spin->setValue(37);
    QCOMPARE(slider->value(), 37);
    spin->setValue(600);
    QCOMPARE(spin->value(), 512);
    QCOMPARE(slider->value(), 512);
    slider->setValue(0);
    QCOMPARE(slider->value(), 1);
    QCOMPARE(spin->value(), 1);
}

void TestFormEditor::cancelChangesNothing()
{
    bindingList().append(makeBinding("a", 65, 0, 0, false, 10));
    FormEditor editor;
    QSignalSpy changed(&editor, &FormEditor::buttonsChanged);
    editor.prepareForRow(0);
    editor.show();
    child<QSpinBox>(editor, "spinBox")->setValue(99);
    child<QPushButton>(editor, "pushButton_2")->click();
    QVERIFY(!editor.isVisible());
    QCOMPARE(changed.count(), 0);
    QCOMPARE(bindingList().at(0).speed, 10);
    editor.show();
    editor.close(); // the title bar's close button does the same
    QCOMPARE(changed.count(), 0);
}

void TestFormEditor::retargetAfterDelete_data()
{
    QTest::addColumn<QList<int>>("deleted");
    QTest::addColumn<QStringList>("expected");

    // Bindings k0..k4; the editor is open on k3 and sets its speed to 99.
    QTest::newRow("rows before it") << QList<int>{0, 1} << QStringList{"k2:2", "k3:99", "k4:4"};
    QTest::newRow("rows after it") << QList<int>{4} << QStringList{"k0:0", "k1:1", "k2:2", "k3:99"};
    QTest::newRow("the edited row") << QList<int>{1, 3} << QStringList{"k0:0", "k2:2", "k4:4", "k3:99"};
}

void TestFormEditor::retargetAfterDelete()
{
    QFETCH(QList<int>, deleted);
    QFETCH(QStringList, expected);

    for (int i = 0; i < 5; ++i)
        bindingList().append(makeBinding(QStringLiteral("k%1").arg(i), 48 + i, 0, 0, false, i));
    MainWindow w;
    w.show();
    w.updateBindingsTable();
    auto *table = child<QTableWidget>(w, "tableWidget");
    table->setCurrentCell(3, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    child<QPushButton>(w, "pushButton_7")->click();
    auto *editor = findTopLevel<FormEditor>();
    QVERIFY(editor->isVisible());

    table->clearSelection();
    for (int row : deleted)
        table->selectionModel()->select(table->model()->index(row, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    child<QPushButton>(w, "pushButton_8")->click();

    child<QSpinBox>(*editor, "spinBox")->setValue(99);
    child<QPushButton>(*editor, "pushButton")->click();
    QStringList now;
    for (int i = 0; i < bindingList().size(); ++i)
        now.append(bindingList().at(i).keyText + QLatin1Char(':') + QString::number(bindingList().at(i).speed));
    QCOMPARE(now, expected);
    w.close();
}

void TestFormEditor::retargetAfterNew()
{
    bindingList().append(makeBinding("a", 65, 0, 0, false, 10));
    bindingList().append(makeBinding("b", 66, 0, 0, false, 20));
    MainWindow w;
    w.show();
    w.updateBindingsTable();
    auto *table = child<QTableWidget>(w, "tableWidget");
    table->setCurrentCell(1, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    child<QPushButton>(w, "pushButton_7")->click();
    auto *editor = findTopLevel<FormEditor>();
    closer->queueButton(QStringLiteral("Не сохранять")); // asked first: the list was never saved
    child<QAction>(w, "action")->trigger(); // New, while the editor is open
    child<QPushButton>(*editor, "pushButton")->click();
    QCOMPARE(bindingList().size(), 1);
    QCOMPARE(bindingList().at(0).keyText, QStringLiteral("b"));
    QCOMPARE(table->rowCount(), 1);
    w.close();
}

QTEST_MAIN(TestFormEditor)
#include "tst_formeditor.moc"
