// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "tests/fakecalls.h"
#include "tests/platformfiles.h"
#include "tests/testsupport.h"

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowIsFixed();
    void widgets_data();
    void widgets();
    void actions_data();
    void actions();
    void menus();
    void table();
    void slotTable();
    void showMessageBox();
    void fileActionsFollowSavedState();
    void closing_data();
    void closing();
    void enabledActionShortcutsOnly();

private:
    ModalCloser *closer = nullptr;
};

void TestMainWindow::init()
{
    resetProgramState();
    fakeFtReset();
    closer = new ModalCloser(this);
}

void TestMainWindow::cleanup()
{
    delete closer;
    QCOMPARE(visibleTopLevelWindows(), QStringList());
}

void TestMainWindow::windowIsFixed()
{
    MainWindow w;
    QCOMPARE(w.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Kavrik"));
    QCOMPARE(w.size(), QSize(551, 302));
    QCOMPARE(w.minimumSize(), QSize(551, 302));
    QCOMPARE(w.maximumSize(), QSize(551, 302));
    QCOMPARE(w.centralWidget()->objectName(), QStringLiteral("centralWidget"));
    QCOMPARE(w.menuBar()->objectName(), QStringLiteral("menuBar"));
    QCOMPARE(w.menuBar()->geometry(), QRect(0, 0, 551, 21));
    QCOMPARE(w.findChildren<QStatusBar *>().size(), 0);
    QCOMPARE(w.findChildren<QToolBar *>().size(), 0);
    w.show();
    w.resize(800, 600);
    QCOMPARE(w.size(), QSize(551, 302));
    w.close();
}

void TestMainWindow::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("groupBox") << "groupBox" << "QGroupBox" << "centralWidget" << QRect(10, 10, 411, 261) << "Список клавиш" << true;
    QTest::newRow("pushButton_6") << "pushButton_6" << "QPushButton" << "groupBox" << QRect(10, 220, 71, 31) << "Добавить" << true;
    QTest::newRow("pushButton_7") << "pushButton_7" << "QPushButton" << "groupBox" << QRect(90, 220, 71, 31) << "Редактир." << false;
    QTest::newRow("pushButton_8") << "pushButton_8" << "QPushButton" << "groupBox" << QRect(170, 220, 71, 31) << "Удалить" << false;
    QTest::newRow("tableWidget") << "tableWidget" << "QTableWidget" << "groupBox" << QRect(10, 20, 391, 191) << "" << true;
    QTest::newRow("groupBox_2") << "groupBox_2" << "QGroupBox" << "centralWidget" << QRect(430, 16, 111, 255) << "" << true;
    QTest::newRow("pushButton") << "pushButton" << "QPushButton" << "groupBox_2" << QRect(10, 10, 91, 27) << "Поиск портов" << true;
    QTest::newRow("comboBox") << "comboBox" << "QComboBox" << "groupBox_2" << QRect(10, 42, 91, 22) << "" << false;
    QTest::newRow("pushButton_2") << "pushButton_2" << "QPushButton" << "groupBox_2" << QRect(10, 80, 91, 35) << "Подключиться" << false;
    QTest::newRow("pushButton_3") << "pushButton_3" << "QPushButton" << "groupBox_2" << QRect(10, 120, 91, 35) << "Отключиться" << false;
    QTest::newRow("pushButton_4") << "pushButton_4" << "QPushButton" << "groupBox_2" << QRect(10, 170, 91, 35) << "Старт" << false;
    QTest::newRow("pushButton_5") << "pushButton_5" << "QPushButton" << "groupBox_2" << QRect(10, 210, 91, 35) << "Стоп" << false;
}

void TestMainWindow::widgets()
{
    QFETCH(QString, name);
    QFETCH(QString, type);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(bool, enabled);

    // The fake library loads, so port search starts enabled.
    MainWindow w;
    auto *widget = w.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), type);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->isEnabled(), enabled);
    if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->text(), text);
    if (auto *box = qobject_cast<QGroupBox *>(widget))
        QCOMPARE(box->title(), text);
    else // buttons, the combo box and the table never take the focus
        QCOMPARE(widget->focusPolicy(), Qt::NoFocus);
    if (auto *combo = qobject_cast<QComboBox *>(widget))
        QCOMPARE(combo->count(), 0);
}

void TestMainWindow::actions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shortcut");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("action") << "action" << "Создать" << "Ctrl+N" << true;
    QTest::newRow("action_2") << "action_2" << "Открыть..." << "Ctrl+O" << true;
    QTest::newRow("action_5") << "action_5" << "Сохранить" << "Ctrl+S" << false;
    QTest::newRow("action_6") << "action_6" << "Сохранить как..." << "Ctrl+Shift+S" << false;
    QTest::newRow("action_8") << "action_8" << "Выход" << "" << true;
    QTest::newRow("action_9") << "action_9" << "Проверить наличие новой версии" << "" << true;
    QTest::newRow("action_11") << "action_11" << "О программе" << "" << true;
}

void TestMainWindow::actions()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, shortcut);
    QFETCH(bool, enabled);

    MainWindow w;
    auto *action = w.findChild<QAction *>(name);
    QVERIFY(action);
    QCOMPARE(action->parent(), &w);
    QCOMPARE(action->text(), text);
    QCOMPARE(action->shortcut(), QKeySequence(shortcut, QKeySequence::PortableText));
    QCOMPARE(action->isEnabled(), enabled);
}

void TestMainWindow::menus()
{
    MainWindow w;
    QStringList bar;
    for (QAction *a : w.menuBar()->actions())
        bar.append(a->menu()->objectName() + QLatin1Char(':') + a->menu()->title());
    QCOMPARE(bar, (QStringList{QStringLiteral("menu:Файл"), QStringLiteral("menu_2:Опции")}));

    auto entries = [&](const char *menu) {
        QStringList names;
        for (QAction *a : w.findChild<QMenu *>(QLatin1String(menu))->actions())
            names.append(a->isSeparator() ? QStringLiteral("-") : a->objectName());
        return names;
    };
    QCOMPARE(entries("menu"), (QStringList{"action", "action_2", "-", "action_5", "action_6", "-", "action_8"}));
    QCOMPARE(entries("menu_2"), (QStringList{"action_12", "-", "action_9", "-", "action_11"}));
}

void TestMainWindow::table()
{
    MainWindow w;
    auto *t = w.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    QCOMPARE(t->columnCount(), 5);
    QCOMPARE(t->rowCount(), 0);
    QStringList headers;
    for (int c = 0; c < t->columnCount(); ++c)
        headers.append(t->horizontalHeaderItem(c)->text());
    QCOMPARE(headers, (QStringList{"Клавиша", "Контроллер", "Мотор", "Вращение", "Скорость"}));
    QCOMPARE(t->font().pointSize(), 9);
    QCOMPARE(t->font().weight(), 50);
    QCOMPARE(t->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(t->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(t->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(t->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(t->selectionMode(), QAbstractItemView::ExtendedSelection);
    QCOMPARE(t->horizontalScrollMode(), QAbstractItemView::ScrollPerItem);
    QVERIFY(!t->isCornerButtonEnabled());
    QCOMPARE(t->horizontalHeader()->defaultSectionSize(), 75);
    QVERIFY(!t->horizontalHeader()->highlightSections());
    QVERIFY(!t->horizontalHeader()->stretchLastSection());
    QVERIFY(t->verticalHeader()->isHidden());
    QCOMPARE(t->verticalHeader()->defaultSectionSize(), 20);
}

void TestMainWindow::slotTable()
{
    const QStringList expected = {
        "on_action_9_triggered()", "on_action_11_triggered()", "on_pushButton_clicked()",
        "on_pushButton_2_clicked()", "on_pushButton_3_clicked()", "on_pushButton_4_clicked()",
        "on_pushButton_5_clicked()", "closeEvent(QCloseEvent*)", "on_pushButton_6_clicked()",
        "on_pushButton_8_clicked()", "on_tableWidget_itemSelectionChanged()", "on_pushButton_7_clicked()",
        "on_action_8_triggered()", "on_action_6_triggered()", "on_action_2_triggered()",
        "on_action_triggered()", "on_action_5_triggered()",
        "on_tableWidget_itemDoubleClicked(QTableWidgetItem*)", "showPortsList()", "buttonsChanged()",
        "on_action_12_triggered()"};
    const QMetaObject &mo = MainWindow::staticMetaObject;
    QCOMPARE(mo.methodCount() - mo.methodOffset(), expected.size());
    QCOMPARE(mo.propertyCount(), mo.propertyOffset());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        QCOMPARE(QString::fromLatin1(m.methodSignature()), expected.at(i));
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), i < 18 || i > 19 ? QMetaMethod::Private : QMetaMethod::Public);
        QCOMPARE(m.returnType(), int(QMetaType::Void));
    }
}

void TestMainWindow::showMessageBox()
{
    MainWindow w;
    QMessageBox *seenBox = nullptr;
    QTimer::singleShot(0, [&] {
        seenBox = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(seenBox);
        QCOMPARE(seenBox->parentWidget(), nullptr);
        QCOMPARE(seenBox->buttons().size(), 1);
        QCOMPARE(seenBox->standardButtons(), QMessageBox::Ok);
        QCOMPARE(seenBox->escapeButton(), seenBox->button(QMessageBox::Ok));
        QVERIFY(seenBox->windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint));
        QCOMPARE(seenBox->windowFlags() & Qt::WindowType_Mask, Qt::Dialog);
    });
    w.showMessage(QStringLiteral("Ошибка"), QStringLiteral("текст"), QMessageBox::Critical);
    QVERIFY(seenBox);
    QCOMPARE(closer->seen.size(), 1);
    QCOMPARE(closer->seen.at(0).title, QStringLiteral("Ошибка"));
    QCOMPARE(closer->seen.at(0).text, QStringLiteral("текст"));
    QCOMPARE(closer->seen.at(0).icon, QMessageBox::Critical);
}

void TestMainWindow::fileActionsFollowSavedState()
{
    MainWindow w;
    auto *save = w.findChild<QAction *>(QStringLiteral("action_5"));
    auto *saveAs = w.findChild<QAction *>(QStringLiteral("action_6"));
    listSaved() = true;
    w.updateFileActions();
    QVERIFY(!save->isEnabled());
    QVERIFY(saveAs->isEnabled());
    listSaved() = false;
    w.updateFileActions();
    QVERIFY(save->isEnabled());
    QVERIFY(saveAs->isEnabled());
}

void TestMainWindow::closing_data()
{
    QTest::addColumn<QString>("command"); // "title bar", "Выход" or "Создать"
    QTest::addColumn<QString>("list");    // "empty", "saved", "unsaved" or "unsaved, then opened"
    QTest::addColumn<QString>("answer");  // to the question, when it comes
    QTest::addColumn<bool>("goesOn");     // the window closes, the list empties
    QTest::addColumn<bool>("written");    // the list is in its file

    // Nothing to lose: no question.
    QTest::newRow("title bar") << "title bar" << "empty" << "" << true << false;
    QTest::newRow("Выход") << "Выход" << "empty" << "" << true << false;
    QTest::newRow("Выход, list saved") << "Выход" << "saved" << "" << true << true;
    QTest::newRow("Создать, list saved") << "Создать" << "saved" << "" << true << true;
    // Bindings not saved: asked first.
    QTest::newRow("title bar: Сохранить") << "title bar" << "unsaved" << "Сохранить" << true << true;
    QTest::newRow("Выход: Не сохранять") << "Выход" << "unsaved" << "Не сохранять" << true << false;
    QTest::newRow("title bar: Отмена") << "title bar" << "unsaved" << "Отмена" << false << false;
    QTest::newRow("Создать: Сохранить") << "Создать" << "unsaved" << "Сохранить" << true << true;
    QTest::newRow("Создать: Не сохранять") << "Создать" << "unsaved" << "Не сохранять" << true << false;
    QTest::newRow("Создать: Отмена") << "Создать" << "unsaved" << "Отмена" << false << false;
    // Open appends: the list is not what the file holds.
    QTest::newRow("Выход after Открыть: Не сохранять") << "Выход" << "unsaved, then opened" << "Не сохранять" << true
                                                       << false;
}

void TestMainWindow::closing()
{
    QFETCH(QString, command);
    QFETCH(QString, list);
    QFETCH(QString, answer);
    QFETCH(bool, goesOn);
    QFETCH(bool, written);
    ftConnection().portsFound = true;
    ftConnection().connected = true;
    ftConnection().transferAreaRunning = true;
    QTemporaryDir dir;
    currentFileName() = dir.filePath(QStringLiteral("list.kvr"));

    MainWindow w;
    w.show();
    if (list != "empty") {
        bindingList().append(makeBinding(QStringLiteral("w"), 'W', 0, 1, true, 512));
        w.buttonsChanged();
        if (list == "saved")
            w.findChild<QAction *>(QStringLiteral("action_5"))->trigger();
        QCOMPARE(fileBytes(currentFileName()) == withLineEnds("w|87|0|1|512|1\n"), list == "saved");
        if (list == "unsaved, then opened") {
            const QString other = dir.filePath(QStringLiteral("other.kvr"));
            QVERIFY(writeFileBytes(other, "a|65|0|0|100|1\n"));
            w.openListFile(other);
            QCOMPARE(bindingList().size(), 2);
        }
    }
    w.findChild<QPushButton *>(QStringLiteral("pushButton_6"))->click(); // the editor
    w.findChild<QAction *>(QStringLiteral("action_11"))->trigger();    // the about box
    QCOMPARE(visibleTopLevelWindows().size(), 3);
    if (!answer.isEmpty())
        closer->queueButton(answer);
    const int seenBefore = closer->seen.size();

    fakeFtClearLog();
    if (command == "Создать") {
        w.findChild<QAction *>(QStringLiteral("action"))->trigger();
        QCOMPARE(bindingList().size(), goesOn ? 0 : 1);
        QCOMPARE(w.findChild<QTableWidget *>(QStringLiteral("tableWidget"))->rowCount(), bindingList().size());
        listSaved() = true;
        w.close();
    } else if (!goesOn) {
        w.close();
        QVERIFY(w.isVisible());
        QCOMPARE(visibleTopLevelWindows().size(), 3);
        listSaved() = true;
        w.close();
    } else {
        // Closing must end the event loop by itself; the guard only keeps
        // a failure from hanging the test.
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
        guard.start(10000);
        QTimer::singleShot(0, &w, [&] {
            if (command == "Выход")
                w.findChild<QAction *>(QStringLiteral("action_8"))->trigger();
            else
                w.close();
        });
        QCOMPARE(QCoreApplication::exec(), 0);
        guard.stop();
    }
    QCOMPARE(visibleTopLevelWindows(), QStringList());
    // The question, in a standard box, only when bindings would be lost.
    QCOMPARE(closer->seen.size() > seenBefore, !answer.isEmpty());
    if (!answer.isEmpty()) {
        const SeenModal &box = closer->seen.at(seenBefore);
        QCOMPARE(box.className, QStringLiteral("QMessageBox"));
        QCOMPARE(box.icon, QMessageBox::Question);
        QStringList buttons = box.buttons;
        buttons.sort();
        QCOMPARE(buttons, (QStringList{"Не сохранять", "Отмена", "Сохранить"}));
    }
    QCOMPARE(fileBytes(currentFileName()) == withLineEnds("w|87|0|1|512|1\n"), written);
    // The controller is left as it is: nothing stopped, nothing closed.
    QCOMPARE(fakeCalls(), QStringList());
    QVERIFY(ftConnection().transferAreaRunning);
}

void TestMainWindow::enabledActionShortcutsOnly()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QSignalSpy save(w.findChild<QAction *>(QStringLiteral("action_5")), &QAction::triggered);
    QSignalSpy create(w.findChild<QAction *>(QStringLiteral("action")), &QAction::triggered);
    QTest::keyClick(&w, Qt::Key_S, Qt::ControlModifier);
    QTest::keyClick(&w, Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(save.count(), 0);
    QCOMPARE(create.count(), 1);
    w.close();
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
