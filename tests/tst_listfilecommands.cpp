// SPDX-License-Identifier: GPL-3.0-or-later
#include <optional>

#include <QAction>
#include <QFileInfo>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "tests/fakecalls.h"
#include "tests/platformfiles.h"
#include "tests/testsupport.h"

namespace {

const QString filter = QStringLiteral("Kavrik List (*.kvr)");

void addBinding(MainWindow &w, const QString &keyText)
{
    KeyBinding b;
    b.keyText = keyText;
    b.keyCode = keyText.at(0).unicode();
    b.speed = 512;
    bindingList().append(b);
    w.buttonsChanged(); // as after the editor's OK
}

// From the menu of the window on the screen, as the user does.
void trigger(MainWindow &w, const char *action)
{
    w.show();
    w.findChild<QAction *>(QLatin1String(action))->trigger();
}

// Everything a list-file command may change, as one comparable text.
QStringList state(MainWindow &w)
{
    QStringList s;
    for (int i = 0; i < bindingList().size(); ++i)
        s.append(bindingList().bindingToLine(i));
    s << QStringLiteral("rows %1").arg(w.findChild<QTableWidget *>(QStringLiteral("tableWidget"))->rowCount())
      << QStringLiteral("file ") + currentFileName()
      << QStringLiteral("saved %1").arg(listSaved())
      << QStringLiteral("Save %1").arg(w.findChild<QAction *>(QStringLiteral("action_5"))->isEnabled())
      << QStringLiteral("Save As %1").arg(w.findChild<QAction *>(QStringLiteral("action_6"))->isEnabled());
    return s;
}

} // namespace

class TestListFileCommands : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void cancel_data();
    void cancel();
    void openNewAndSave();
    void saveAs_data();
    void saveAs();
    void failure_data();
    void failure();
    void refusedPicks_data();
    void refusedPicks();

private:
    void checkDialog(const QString &caption);

    ModalCloser *closer = nullptr;
    std::optional<QTemporaryDir> dir;
};

void TestListFileCommands::init()
{
    resetProgramState();
    fakeFtReset();
    closer = new ModalCloser(this);
    dir.emplace();
}

void TestListFileCommands::cleanup()
{
    delete closer;
    QCOMPARE(visibleTopLevelWindows(), QStringList());
}

// The first modal window was the file dialog, with its caption and filter.
void TestListFileCommands::checkDialog(const QString &caption)
{
    QVERIFY(!closer->seen.isEmpty());
    QCOMPARE(closer->seen.first().className, QStringLiteral("QFileDialog"));
    QCOMPARE(closer->seen.first().title, caption);
    QCOMPARE(closer->seen.first().nameFilters, QStringList{filter});
    // Also on a small screen at a high scale factor.
    QVERIFY(closer->seen.first().fitsScreen);
}

void TestListFileCommands::cancel_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("caption");

    QTest::newRow("Открыть") << "action_2" << "old.kvr" << "Открыть...";
    QTest::newRow("Сохранить как") << "action_6" << "old.kvr" << "Сохранить как...";
    QTest::newRow("Сохранить без имени") << "action_5" << "" << "Сохранить как...";
}

void TestListFileCommands::cancel()
{
    QFETCH(QString, action);
    QFETCH(QString, fileName);
    QFETCH(QString, caption);

    MainWindow w;
    currentFileName() = fileName;
    addBinding(w, "A");
    const QStringList before = state(w);
    trigger(w, action.toLatin1());
    QCOMPARE(closer->seen.size(), 1);
    checkDialog(caption);
    QCOMPARE(state(w), before);
}

// Open appends, and counts as saved only onto an empty list (bindings from
// before are in no file yet); Save then writes there without asking, even
// after New.
void TestListFileCommands::openNewAndSave()
{
    const QString name = dir->filePath("list.kvr");
    QVERIFY(writeFileBytes(name, "W|87|0|1|512|1\n|112|8|3|1|0\n"));

    MainWindow w;
    addBinding(w, "A");
    closer->queueFileName(name);
    closer->queueFileName(name);
    trigger(w, "action_2");
    trigger(w, "action_2");
    QCOMPARE(state(w), (QStringList{"A|65|0|0|512|0", "W|87|0|1|512|1", "|112|8|3|1|0", "W|87|0|1|512|1",
                                    "|112|8|3|1|0", "rows 5", "file " + name, "saved 0", "Save 1", "Save As 1"}));

    addBinding(w, "B");
    trigger(w, "action_5");
    QCOMPARE(fileBytes(name), withLineEnds("A|65|0|0|512|0\nW|87|0|1|512|1\n|112|8|3|1|0\n"
                                        "W|87|0|1|512|1\n|112|8|3|1|0\nB|66|0|0|512|0\n"));
    QCOMPARE(state(w).mid(6), (QStringList{"rows 6", "file " + name, "saved 1", "Save 0", "Save As 1"}));

    trigger(w, "action");
    QCOMPARE(state(w), (QStringList{"rows 0", "file " + name, "saved 0", "Save 1", "Save As 1"}));
    addBinding(w, "C");
    trigger(w, "action_5");
    QCOMPARE(fileBytes(name), withLineEnds("C|67|0|0|512|0\n"));
    QCOMPARE(closer->seen.size(), 2); // the two open dialogs only
}

void TestListFileCommands::saveAs_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("exists");

    QTest::newRow("Сохранить как") << "action_6" << false;
    QTest::newRow("Сохранить без имени") << "action_5" << false;
    QTest::newRow("over an existing file") << "action_6" << true;
}

void TestListFileCommands::saveAs()
{
    QFETCH(QString, action);
    QFETCH(bool, exists);

    const QString name = dir->filePath("list"); // no extension is added
    if (exists)
        QVERIFY(writeFileBytes(name, "old\n"));
    MainWindow w;
    addBinding(w, "A");
    addBinding(w, "B");
    closer->queueFileName(name);
    trigger(w, action.toLatin1());
    checkDialog(QStringLiteral("Сохранить как..."));
    // The dialog itself asks before it lets a file be replaced.
    QCOMPARE(closer->seen.size(), exists ? 2 : 1);
    QCOMPARE(closer->seen.last().className, QLatin1String(exists ? "QMessageBox" : "QFileDialog"));
    QCOMPARE(fileBytes(name), withLineEnds("A|65|0|0|512|0\nB|66|0|0|512|0\n"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files), QStringList{"list"});
    QCOMPARE(state(w).mid(2), (QStringList{"rows 2", "file " + name, "saved 1", "Save 0", "Save As 1"}));
}

void TestListFileCommands::failure_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("answer");    // given to the file dialog
    QTest::addColumn<QString>("fileName");  // the current file before
    QTest::addColumn<qint64>("sizeLimit");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("why");       // after the file's name, in the additional text

    QTest::newRow("Открыть: unreadable file") << "action_2" << "unreadable.kvr" << "old.kvr" << qint64(0)
        << "Не удалось открыть файл" << "Нет прав на этот файл или папку.";
    // Named on the command line (the dialog offers only files that exist).
    QTest::newRow("kavrik missing.kvr") << "" << "missing.kvr" << "old.kvr" << qint64(0)
        << "Не удалось открыть файл" << "Такого файла или папки нет.";
    QTest::newRow("Открыть: read error") << "action_2" << unreadableFile() << "old.kvr" << qint64(0)
        << "Не удалось прочитать файл" << "Ошибка ввода-вывода.";
    QTest::newRow("Сохранить: missing folder") << "action_5" << "" << "none/list.kvr" << qint64(0)
        << "Не удалось открыть файл" << "Такого файла или папки нет.";
    QTest::newRow("Сохранить как: read-only folder") << "action_6" << "readonly/list.kvr" << "old.kvr" << qint64(0)
        << "Не удалось открыть файл" << "Нет прав на этот файл или папку.";
    QTest::newRow("Сохранить как: write fails") << "action_6" << "list.kvr" << "old.kvr" << qint64(20)
        << "Не удалось сохранить файл" << "Файл превысил допустимый размер.";
}

// A failed command is reported and changes nothing: the list stays unsaved
// under its old name, so Save is still there to try again.
void TestListFileCommands::failure()
{
    QFETCH(QString, action);
    QFETCH(QString, answer);
    QFETCH(QString, fileName);
    QFETCH(qint64, sizeLimit);
    QFETCH(QString, error);
    QFETCH(QString, why);

    QFile unreadable(dir->filePath("unreadable.kvr"));
    QVERIFY(writeFileBytes(unreadable.fileName(), "W|87|0|1|512|1\n"));
    unreadable.setPermissions({});
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("readonly")));
    QFile::setPermissions(dir->filePath(QStringLiteral("readonly")),
                          QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup);
    FileModesEnforced modes;
    if (answer == "unreadable.kvr" && unreadable.open(QIODevice::ReadOnly))
        QSKIP("file modes do not hold for this user");
    if (answer.startsWith("readonly/") && writableByThisThread(dir->filePath(QStringLiteral("readonly"))))
        QSKIP("a read-only folder takes new files here");
    if (action == "action_2" && answer.isEmpty())
        QSKIP("no file here opens and then fails to read");
    if (sizeLimit > 0 && !posixFiles())
        QSKIP("no limit on a process's file sizes here to fail a write with");

    MainWindow w;
    currentFileName() = dir->filePath(fileName);
    addBinding(w, "A");
    addBinding(w, "B");
    const QStringList before = state(w);
    const QString target = answer.isEmpty() ? currentFileName() : QDir(dir->path()).absoluteFilePath(answer);
    const bool dialog = !answer.isEmpty() && !action.isEmpty();
    if (dialog)
        closer->queueFileName(target);
    {
        std::optional<FileSizeLimit> limit;
        if (sizeLimit > 0)
            limit.emplace(sizeLimit);
        if (action.isEmpty())
            w.openListFile(target);
        else
            trigger(w, action.toLatin1());
    }
    QCOMPARE(closer->seen.size(), dialog ? 2 : 1);
    const SeenModal &box = closer->seen.last();
    QCOMPARE(box.className, QStringLiteral("QMessageBox"));
    QCOMPARE(box.title, QStringLiteral("Ошибка"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, error);
    QCOMPARE(box.why, QDir::toNativeSeparators(target) + QLatin1Char('\n') + why);
    QCOMPARE(state(w), before);
}

void TestListFileCommands::refusedPicks_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("pick"); // what the user types into the dialog
    QTest::addColumn<QString>("error");

    const QString notAList = QStringLiteral("Файл \"%1\" нельзя открыть как список клавиш: это не обычный файл, "
                                            "а устройство, канал или сокет.");
    const QString tooLarge = QStringLiteral("Файл \"%1\" слишком велик для списка клавиш: список может занимать "
                                            "не больше 16 МБ и содержать не больше 200000 привязок.");
    const QString notATarget = QStringLiteral("Список нельзя сохранить в \"%1\": это не обычный файл, "
                                              "а устройство, канал или сокет.");
    QTest::newRow("Открыть: FIFO without a writer") << "action_2" << "fifo" << notAList;
    QTest::newRow("Открыть: character device") << "action_2" << "zero" << notAList;
    QTest::newRow("Открыть: file over 16 MiB") << "action_2" << "huge.kvr" << tooLarge;
    QTest::newRow("Открыть: over 200000 bindings") << "action_2" << "long.kvr" << tooLarge;
    QTest::newRow("Открыть: a CR that would join two lines") << "action_2" << "joined.kvr"
        << QStringLiteral("Файл \"%1\" нельзя открыть как список клавиш: в строке 2 стоит возврат каретки (CR) "
                          "не в конце строки, и неясно, начинает ли он новую строку.");
    QTest::newRow("Сохранить как: FIFO") << "action_6" << "fifo" << notATarget;
    QTest::newRow("Сохранить как: character device") << "action_6" << "zero" << notATarget;
}

// Whatever the user picks in the dialogs: the window answers (how soon is
// the list-file benchmark's business), the box says why, and neither the
// list nor the file changes.
void TestListFileCommands::refusedPicks()
{
    QFETCH(QString, action);
    QFETCH(QString, pick);
    QFETCH(QString, error);

    const QString name = dir->filePath(pick);
    if ((pick == "fifo" || pick == "zero") && !posixFiles())
        QSKIP("no FIFOs or device files in a folder here");
    if (pick == "fifo") {
        QVERIFY(makeFifo(name));
    } else if (pick == "zero") {
        if (!makeEndlessDevice(name))
            QSKIP("making a device node needs root");
    } else if (pick == "huge.kvr") {
        QFile huge(name);
        QVERIFY(huge.open(QIODevice::WriteOnly));
        QVERIFY(huge.resize(16 * 1024 * 1024 + 1)); // sparse: takes no disk
    } else if (pick == "long.kvr") {
        QVERIFY(writeFileBytes(name, QByteArray("a|65|0|0|1|0\n").repeated(200001)));
    } else if (pick == "joined.kvr") {
        QVERIFY(writeFileBytes(name, "W|87|0|1|512|1\r\nA|65|0|0|100|0\rD|68|0|1|400|1\r\n"));
    }
    const QFileInfo before(name);
    QVERIFY(before.exists());
    FileIdentity identityBefore;
    QVERIFY(!posixFiles() || fileIdentity(name, identityBefore));

    MainWindow w;
    currentFileName() = dir->filePath("old.kvr");
    addBinding(w, "A");
    const QStringList listBefore = state(w);
    closer->queueFileName(name);
    trigger(w, action.toLatin1());

    const SeenModal &box = closer->seen.last();
    QCOMPARE(box.title, QStringLiteral("Ошибка"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, error.arg(QDir::toNativeSeparators(name)));
    QCOMPARE(state(w), listBefore);
    FileIdentity identityAfter;
    if (posixFiles()) {
        QVERIFY(fileIdentity(name, identityAfter));
        QCOMPARE(identityAfter.mode, identityBefore.mode);
        QCOMPARE(identityAfter.inode, identityBefore.inode);
    }
    const QFileInfo after(name);
    QCOMPARE(after.size(), before.size());
    QCOMPARE(after.lastModified(), before.lastModified());
}

QTEST_MAIN(TestListFileCommands)
#include "tst_listfilecommands.moc"
