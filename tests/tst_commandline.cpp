// SPDX-License-Identifier: GPL-3.0-or-later
// The program's command line, on the real executable: help and version
// without a display, and a list named at start opened as "Открыть..." opens
// it, Save then writing it back there.
#include <sys/stat.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "testsupport.h"

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void informational_data();
    void informational();
    void listAtStart_data();
    void listAtStart();

private:
    QTemporaryDir dir;
};

void TestCommandLine::initTestCase()
{
    QVERIFY(dir.isValid());
}

void TestCommandLine::informational_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");
    QTest::newRow("--version") << "--version" << "kavrik " KAVRIK_VERSION "\n";
    QTest::newRow("-v") << "-v" << "kavrik " KAVRIK_VERSION "\n";
    QTest::newRow("--help") << "--help" << "Использование: kavrik [параметры] [файл]";
}

void TestCommandLine::informational()
{
    QFETCH(QString, option);
    QFETCH(QString, expected);

    // No display at all: a terminal on a machine without a desktop.
    QProcess kavrik;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    kavrik.setProcessEnvironment(env);
    kavrik.start(QStringLiteral(KAVRIK_PROGRAM), {option});
    QVERIFY(kavrik.waitForFinished(10000));
    QCOMPARE(kavrik.exitStatus(), QProcess::NormalExit);
    QCOMPARE(kavrik.exitCode(), 0);
    const QString out = QString::fromUtf8(kavrik.readAllStandardOutput()).replace(QStringLiteral(KAVRIK_PROGRAM),
                                                                                  QStringLiteral("kavrik"));
    QVERIFY2(out.startsWith(expected), qPrintable(out));
}

void TestCommandLine::listAtStart_data()
{
    QTest::addColumn<QStringList>("arguments"); // %1 is the scratch folder
    QTest::addColumn<QStringList>("printed");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("fileAfter");

    const QByteArray list("W|87|0|1|512|1\nA|65|2|0|100|0\n");
    QTest::newRow("a good list") << QStringList{"%1/vehicle.kvr"}
                                 << QStringList{"row\tW\tMaster\tM2\t--->\t512", "row\tA\tExtension 2\tM1\t<---\t100",
                                                "save\tdisabled", "saved"}
                                 << 0 << QByteArray("A|65|2|0|100|0\n");
    QTest::newRow("a relative name") << QStringList{"vehicle.kvr"}
                                     << QStringList{"row\tW\tMaster\tM2\t--->\t512",
                                                    "row\tA\tExtension 2\tM1\t<---\t100", "save\tdisabled", "saved"}
                                     << 0 << QByteArray("A|65|2|0|100|0\n");
    QTest::newRow("a missing file") << QStringList{"%1/missing.kvr"}
                                    << QStringList{"box\tОшибка\tНе удалось открыть файл"} << 3 << list;
    QTest::newRow("not a list file") << QStringList{"%1/fifo"}
                                     << QStringList{"box\tОшибка\tФайл \"%1/fifo\" нельзя открыть как список "
                                                    "клавиш: это не обычный файл, а устройство, канал или сокет."}
                                     << 3 << list;
    QTest::newRow("two files") << QStringList{"%1/vehicle.kvr", "%1/vehicle.kvr"} << QStringList() << 2 << list;
}

void TestCommandLine::listAtStart()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, printed);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, fileAfter);

    const QString listFile = dir.filePath(QStringLiteral("vehicle.kvr"));
    QVERIFY(writeFileBytes(listFile, "W|87|0|1|512|1\nA|65|2|0|100|0\n"));
    QFile::remove(dir.filePath(QStringLiteral("fifo")));
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("fifo"))).constData(), 0600), 0);
    for (QString &a : arguments)
        a.replace(QStringLiteral("%1"), dir.path());
    for (QString &p : printed)
        p.replace(QStringLiteral("%1"), dir.path());

    QProcess kavrik;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(CMDLINE_PROBE));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    kavrik.setProcessEnvironment(env);
    kavrik.setWorkingDirectory(dir.path());
    kavrik.start(QStringLiteral(KAVRIK_PROGRAM), arguments);
    QVERIFY(kavrik.waitForFinished(10000));
    QCOMPARE(kavrik.exitCode(), exitCode);
    const QStringList lines = QString::fromUtf8(kavrik.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines, printed);
    // Save wrote the list without its first binding back to the file opened.
    QCOMPARE(fileBytes(listFile), fileAfter);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
