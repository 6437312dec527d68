// SPDX-License-Identifier: GPL-3.0-or-later
#include <optional>

#include <QDirIterator>
#include <QScopeGuard>
#include <QTextCodec>
#include <QTemporaryDir>
#include <QtTest>

#include "bindings/bindinglist.h"
#include "bindings/listfile.h"
#include "common/processobjects.h"
#include "tests/platformfiles.h"
#include "tests/testsupport.h"

Q_DECLARE_METATYPE(KeyBinding)

namespace {

// Fields in the order of a line: key text, code, controller, motor, speed, direction, end switch.
KeyBinding binding(const QString &text, qint32 code, qint32 controller, qint32 motor, qint32 speed, bool direction,
                   qint32 endSwitch = 0)
{
    return KeyBinding{text, code, controller, motor, direction, speed, endSwitch};
}

const KeyBinding earlier = binding("Q", 81, 2, 3, 100, false);
const KeyBinding w = binding("W", 87, 0, 1, 512, true);
const KeyBinding f1 = binding("", 112, 8, 3, 1, false);

QList<KeyBinding> listed()
{
    QList<KeyBinding> all;
    for (int i = 0; i < bindingList().size(); ++i)
        all.append(bindingList().at(i));
    return all;
}

void setList(const QList<KeyBinding> &bindings)
{
    bindingList().clear();
    for (const KeyBinding &b : bindings)
        bindingList().append(b);
}

// Every entry under a folder with the bytes of its files.
QStringList snapshot(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.append(path + QLatin1Char('=') + QString::fromLatin1(fileBytes(path).toHex()));
    }
    entries.sort();
    return entries;
}

} // namespace

class TestListFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void load_data();
    void load();
    void saveAndLoad_data();
    void saveAndLoad();
    void loadFailure_data();
    void loadFailure();
    void saveFailure_data();
    void saveFailure();
    void readOnlyFolder_data();
    void readOnlyFolder();
    void replacedFileKeepsOwnerGroupMode_data();
    void replacedFileKeepsOwnerGroupMode();
    void hardLinksShowTheSavedList();
    void encodingAcrossSystems_data();
    void encodingAcrossSystems();

private:
    QTemporaryDir dir;
};

// Files are in the locale's encoding; take the one of a Russian Windows.
void TestListFile::initTestCase()
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("Windows-1251"));
}

void TestListFile::init()
{
    resetProgramState();
    setList({earlier});
}

void TestListFile::load_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QList<KeyBinding>>("read");

    QTest::newRow("two lines") << QByteArray("W|87|0|1|512|1\n|112|8|3|1|0\n") << QList<KeyBinding>{w, f1};
    QTest::newRow("CR LF") << QByteArray("W|87|0|1|512|1\r\n|112|8|3|1|0\r\n") << QList<KeyBinding>{w, f1};
    QTest::newRow("no last line end") << QByteArray("W|87|0|1|512|1\n|112|8|3|1|0") << QList<KeyBinding>{w, f1};
    QTest::newRow("CRs of the line end") << QByteArray("W|87|0|1|512|1\r\r\n|112|8|3|1|0\r") << QList<KeyBinding>{w, f1};
    QTest::newRow("extra fields") << QByteArray("W|87|0|1|512|1||more\nW|87|0|1|512|1|3|4|x\n")
        << QList<KeyBinding>{w, binding("W", 87, 0, 1, 512, true, 3)};
    QTest::newRow("end switches") << QByteArray("W|87|0|1|512|1|1\nW|87|0|1|512|1|8\r\nW|87|0|1|512|1|\n")
        << QList<KeyBinding>{binding("W", 87, 0, 1, 512, true, 1), binding("W", 87, 0, 1, 512, true, 8), w};
    QTest::newRow("not numbers") << QByteArray("W|x|0|1|512|yes\n|1|2|3|4| 1\nA|9|9|9|9|true\n")
        << QList<KeyBinding>{binding("W", 0, 0, 1, 512, false), binding("", 1, 2, 3, 4, false), binding("A", 9, 9, 9, 9, false)};
    QTest::newRow("out of range") << QByteArray("W|-5|9|7|-1|1\nA|2147483648|0|0|0|0\n")
        << QList<KeyBinding>{binding("W", -5, 9, 7, -1, true), binding("A", 0, 0, 0, 0, false)};
    QTest::newRow("blank lines") << QByteArray("\nW|87|0|1|512|1\n\r\n\n") << QList<KeyBinding>{w};
    QTest::newRow("short lines") << QByteArray("A|65\nB\n|\nW|87|0|1|512|1")
        << QList<KeyBinding>{binding("A", 65, 0, 0, 0, false), binding("B", 0, 0, 0, 0, false), KeyBinding(), w};
    QTest::newRow("empty file") << QByteArray() << QList<KeyBinding>();
}

void TestListFile::load()
{
    QFETCH(QByteArray, file);
    QFETCH(QList<KeyBinding>, read);

    const QString name = dir.filePath("load.kvr");
    QVERIFY(writeFileBytes(name, file));
    QVERIFY(loadBindingList(name));
    QCOMPARE(listed(), QList<KeyBinding>{earlier} + read);
    QCOMPARE(lastFileError(), QString());
}

void TestListFile::saveAndLoad_data()
{
    QTest::addColumn<QList<KeyBinding>>("bindings");
    QTest::addColumn<QByteArray>("file");

    QTest::newRow("two bindings") << QList<KeyBinding>{w, f1} << QByteArray("W|87|0|1|512|1\n|112|8|3|1|0\n");
    QTest::newRow("Cyrillic key") << QList<KeyBinding>{binding("Ж", 1046, 1, 2, 3, true)} << QByteArray("\xC6|1046|1|2|3|1\n");
    QTest::newRow("empty list") << QList<KeyBinding>() << QByteArray();
    // Only a binding with a switch gets the seventh field; the others stay
    // as six-field readers wrote them.
    QTest::newRow("end switch beside none") << QList<KeyBinding>{binding("W", 87, 0, 0, 512, true, 3), f1}
        << QByteArray("W|87|0|0|512|1|3\n|112|8|3|1|0\n");
}

void TestListFile::saveAndLoad()
{
    QFETCH(QList<KeyBinding>, bindings);
    QFETCH(QByteArray, file);

    QTemporaryDir scratch;
    const QString name = scratch.filePath("saved.kvr");
    QVERIFY(writeFileBytes(name, "an older and longer list\n"));
    setList(bindings);
    QVERIFY(saveBindingList(name));
    QCOMPARE(fileBytes(name), withLineEnds(file));

    // Loading appends, so a second load repeats the file after the first.
    bindingList().clear();
    QVERIFY(loadBindingList(name));
    QVERIFY(loadBindingList(name));
    QCOMPARE(listed(), bindings + bindings);
    QCOMPARE(QDir(scratch.path()).entryList(QDir::Files), QStringList{"saved.kvr"});
}

void TestListFile::loadFailure_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("file"); // written under the name, unless null
    QTest::addColumn<QString>("error");

    QTest::newRow("missing file") << dir.filePath("none.kvr") << QByteArray() << "Не удалось открыть файл";
    QTest::newRow("directory") << dir.path() << QByteArray() << "Не удалось открыть файл";
    QTest::newRow("read error") << unreadableFile() << QByteArray() << "Не удалось прочитать файл";
    // Read as they stand, each would lose or change a binding without a word.
    const QString name = dir.filePath("refused.kvr");
    const QString strayCr = QStringLiteral("Файл \"%1\" нельзя открыть как список клавиш: в строке %2 стоит "
                                           "возврат каретки (CR) не в конце строки, и неясно, начинает ли он "
                                           "новую строку.");
    const QString nul = QStringLiteral("Файл \"%1\" нельзя открыть как список клавиш: в строке %2 в числе "
                                       "стоит нулевой знак (NUL).");
    QTest::newRow("bare CR joining two lines") << name << QByteArray("W|87|0|1|512|1\r|112|8|3|1|0\n")
        << strayCr.arg(QDir::toNativeSeparators(name)).arg(1);
    QTest::newRow("bare CR in a number, after CR LF lines") << name
        << QByteArray("W|87|0|1|512|1\r\n\r\nA|65|0|0|1\r00|0\r\n") << strayCr.arg(QDir::toNativeSeparators(name)).arg(3);
    QTest::newRow("bare CR in the key text") << name << QByteArray("W|87|0|1|512|1\nW\r|87|0|1|512|1\n")
        << strayCr.arg(QDir::toNativeSeparators(name)).arg(2);
    QTest::newRow("NUL in a number") << name << QByteArrayLiteral("W|87|0|1|512|1\nA|65|0|0|1\x00" "00|0\n")
        << nul.arg(QDir::toNativeSeparators(name)).arg(2);
    const QString badSwitch = QStringLiteral("Файл \"%1\" нельзя открыть как список клавиш: в строке %2 "
                                             "концевой выключатель (седьмое поле) не вход I1–I8: ожидается "
                                             "число от 1 до 8 или пустое поле.");
    for (const char *field : {"0", "9", "x", "-1", " 3", "03"}) {
        QTest::addRow("end switch \"%s\"", field) << name << QByteArray("W|87|0|1|512|1|3\nA|65|0|0|1|0|") + field + "\n"
            << badSwitch.arg(QDir::toNativeSeparators(name)).arg(2);
    }
    const QString utf16 = QStringLiteral("W|87|0|1|512|1\n");
    QTest::newRow("UTF-16 without byte order mark") << name
        << QByteArray(reinterpret_cast<const char *>(utf16.utf16()), utf16.size() * 2) << nul.arg(QDir::toNativeSeparators(name)).arg(1);
}

void TestListFile::loadFailure()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, file);
    QFETCH(QString, error);

    if (name.isEmpty())
        QSKIP("no file here opens and then fails to read");
    if (!file.isNull())
        QVERIFY(writeFileBytes(name, file));
    QVERIFY(!loadBindingList(name));
    QCOMPARE(lastFileError(), error);
    QCOMPARE(listed(), QList<KeyBinding>{earlier});
}

void TestListFile::saveFailure_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<qint64>("sizeLimit");
    QTest::addColumn<QString>("error");

    QTest::newRow("missing folder") << "none/list.kvr" << false << qint64(0) << "Не удалось открыть файл";
    QTest::newRow("parent is a file") << "list.kvr/list.kvr" << false << qint64(0) << "Не удалось открыть файл";
    QTest::newRow("directory in place") << "folder" << false << qint64(0) << "Не удалось открыть файл";
    QTest::newRow("read-only file") << "list.kvr" << true << qint64(0) << "Не удалось открыть файл";
    QTest::newRow("write fails") << "list.kvr" << false << qint64(100) << "Не удалось сохранить файл";
}

void TestListFile::saveFailure()
{
    QFETCH(QString, target);
    QFETCH(bool, readOnly);
    QFETCH(qint64, sizeLimit);
    QFETCH(QString, error);

    QTemporaryDir scratch;
    QVERIFY(writeFileBytes(scratch.filePath("list.kvr"), "W|87|0|1|512|1\n"));
    QVERIFY(QDir(scratch.path()).mkpath("folder/inner"));
    QVERIFY(writeFileBytes(scratch.filePath("folder/inner/kept.kvr"), "kept\n"));
    QList<KeyBinding> bindings;
    for (int i = 0; i < 200; ++i)
        bindings.append(binding(QString::number(i), i, i % 9, i % 4, i, i % 2));
    setList(bindings);
    const QStringList before = snapshot(scratch.path());
    if (sizeLimit > 0 && !posixFiles())
        QSKIP("no limit on a process's file sizes here to fail a write with");

    if (readOnly) {
        QVERIFY(QFile::setPermissions(scratch.filePath(target), QFile::ReadOwner));
        if (QFileInfo(scratch.filePath(target)).isWritable())
            QSKIP("root may write to a read-only file, and so may save over it");
    }
    std::optional<FileSizeLimit> limit;
    if (sizeLimit > 0)
        limit.emplace(sizeLimit);
    const bool saved = saveBindingList(scratch.filePath(target));
    limit.reset();
    QVERIFY(!saved);
    QCOMPARE(lastFileError(), error);
    QCOMPARE(listed(), bindings);
    // The old file byte for byte, and no temporary file left beside it.
    QCOMPARE(snapshot(scratch.path()), before);
}

void TestListFile::readOnlyFolder_data()
{
    QTest::addColumn<qint64>("sizeLimit");
    QTest::addColumn<bool>("saved");

    QTest::newRow("written in place") << qint64(1 << 20) << true;
    // Room for the old list (15 bytes) but not for the new one (28): a
    // full disk.
    QTest::newRow("disk full") << qint64(20) << false;
    QTest::newRow("write fails") << qint64(10) << false;
}

// A folder that takes no new file but holds a writable list: the list is
// written in place, and a failing write there is still reported.
void TestListFile::readOnlyFolder()
{
    QFETCH(qint64, sizeLimit);
    QFETCH(bool, saved);

    if (!posixFiles())
        QSKIP("a read-only folder takes new files here, so a save never writes in place");
    const QString folder = dir.filePath("readonly");
    const QString name = folder + "/list.kvr";
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeFileBytes(name, "W|87|0|1|512|1\n"));
    setList({f1, w});
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    const auto restore = qScopeGuard([&] { QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); });

    FileModesEnforced modes;
    // Asked with this thread's own rights, which FileModesEnforced lowered.
    if (writableByThisThread(folder))
        QSKIP("file modes do not hold for this user");
    {
        FileSizeLimit limit(sizeLimit);
        QCOMPARE(saveBindingList(name), saved);
    }
    if (saved) {
        QCOMPARE(fileBytes(name), withLineEnds("|112|8|3|1|0\nW|87|0|1|512|1\n"));
    } else {
        QCOMPARE(lastFileError(), QStringLiteral("Не удалось сохранить файл"));
        // Nothing was written: the space was not there to be reserved.
        QCOMPARE(fileBytes(name), QByteArray("W|87|0|1|512|1\n"));
    }
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"list.kvr"});
}

void TestListFile::replacedFileKeepsOwnerGroupMode_data()
{
    QTest::addColumn<bool>("otherOwner");
    QTest::newRow("mode") << false;
    QTest::newRow("owner and group, as root") << true;
}

void TestListFile::replacedFileKeepsOwnerGroupMode()
{
    QFETCH(bool, otherOwner);

    if (!posixFiles())
        QSKIP("files have no owner, group and mode here");
    const QString name = dir.filePath("shared.kvr");
    QVERIFY(writeFileBytes(name, "old\n"));
    QVERIFY(setFileMode(name, 0640));
    if (otherOwner) {
        if (!runsAsRoot())
            QSKIP("only root may give a file to another user");
        QVERIFY(setFileOwner(name, 1234, 5678));
    }
    FileIdentity before;
    QVERIFY(fileIdentity(name, before));
    setList({w});
    QVERIFY(saveBindingList(name));
    FileIdentity after;
    QVERIFY(fileIdentity(name, after));
    QVERIFY(after.inode != before.inode); // replaced, not written in place
    QCOMPARE(after.mode, before.mode);
    QCOMPARE(after.owner, before.owner);
    QCOMPARE(after.group, before.group);
    QCOMPARE(fileBytes(name), QByteArray("W|87|0|1|512|1\n"));
}

void TestListFile::hardLinksShowTheSavedList()
{
    const QString name = dir.filePath("linked.kvr");
    const QString other = dir.filePath("other-name.kvr");
    QVERIFY(writeFileBytes(name, "a much longer old list than the new one\n"));
    if (!posixFiles())
        QSKIP("hard links are not made here");
    QVERIFY(hardLink(name, other));
    setList({w});
    QVERIFY(saveBindingList(name));
    QCOMPARE(fileBytes(name), QByteArray("W|87|0|1|512|1\n"));
    QCOMPARE(fileBytes(other), QByteArray("W|87|0|1|512|1\n"));
}

void TestListFile::encodingAcrossSystems_data()
{
    QTest::addColumn<QByteArray>("locale");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("keyText");

    QTest::newRow("UTF-8") << QByteArray("UTF-8") << QByteArray("\xd0\xa4|65|0|0|100|0\n") << QStringLiteral("Ф");
    QTest::newRow("Windows-1251") << QByteArray("UTF-8") << QByteArray("\xd4|65|0|0|100|0\n") << QStringLiteral("Ф");
    QTest::newRow("Windows-1251, several")
        << QByteArray("UTF-8") << QByteArray("\xd4\xfb\xe2|65|0|0|100|0\n") << QStringLiteral("Фыв");
    QTest::newRow("UTF-8 with byte order mark")
        << QByteArray("UTF-8") << QByteArray("\xef\xbb\xbf\xd0\xa4|65|0|0|100|0\n") << QStringLiteral("Ф");
    QTest::newRow("Windows: its own list") << QByteArray("Windows-1251") << QByteArray("\xd4\xfb\xe2|65|0|0|100|0\n")
                                           << QStringLiteral("Фыв");
    QTest::newRow("Windows: a list from Linux")
        << QByteArray("Windows-1251") << QByteArray("\xd0\xa4\xd1\x8b|65|0|0|100|0\n") << QStringLiteral("Фы");
    // A sequence that would be UTF-8 does not make a list UTF-8 while
    // another letter is not.
    QTest::newRow("Windows: not all UTF-8")
        << QByteArray("Windows-1251") << QByteArray("\xd0\xa4\xd4|65|0|0|100|0\n") << QStringLiteral("Р¤Ф");
    // Its own list whose Windows-1251 bytes would read as UTF-8 ("Рё" is
    // D0 B8, UTF-8's "и") is saved as UTF-8 behind a byte order mark, and
    // opens as it was.
    QTest::newRow("Windows: its own list that would pass for UTF-8")
        << QByteArray("Windows-1251") << QByteArray("\xef\xbb\xbf\xd0\xa0\xd1\x91|65|0|0|100|0\n")
        << QStringLiteral("Рё");
}

// A list made on a Russian Windows keeps its key texts through Open and Save
// on a Linux desktop, and a list made on Linux keeps them on a Russian
// Windows; Save writes the locale's encoding.
void TestListFile::encodingAcrossSystems()
{
    QFETCH(QByteArray, locale);
    QFETCH(QByteArray, file);
    QFETCH(QString, keyText);

    QTextCodec *saved = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName(locale));
    const auto restore = qScopeGuard([saved] { QTextCodec::setCodecForLocale(saved); });

    const QString name = dir.filePath("elsewhere.kvr");
    QVERIFY(writeFileBytes(name, file));
    bindingList().clear();
    QVERIFY(loadBindingList(name));
    QCOMPARE(listed(), QList<KeyBinding>{binding(keyText, 65, 0, 0, 100, false)});
    QVERIFY(saveBindingList(name));
    const QByteArray line = keyText.toUtf8() + "|65|0|0|100|0\n";
    // A list that would pass for UTF-8 in the locale's encoding goes as
    // UTF-8 with its byte order mark; any other in the locale's encoding.
    QCOMPARE(fileBytes(name), withLineEnds(file.startsWith("\xef\xbb\xbf") && locale != "UTF-8"
                                               ? "\xef\xbb\xbf" + line
                                               : QTextCodec::codecForName(locale)->fromUnicode(keyText) + "|65|0|0|100|0\n"));
}

QTEST_GUILESS_MAIN(TestListFile)
#include "tst_listfile.moc"
