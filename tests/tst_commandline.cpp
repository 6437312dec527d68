// SPDX-License-Identifier: GPL-3.0-or-later
// The command lines of the program and the simulator, on the real
// executables: help and version without a display, a list named at start
// opened as "Открыть..." opens it (Save then writing it back there), bad
// option values refused.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "tests/platformfiles.h"
#include "tests/testsupport.h"

namespace {

// A terminal on a machine without a desktop: no display at all.
QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    return env;
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void informational_data();
    void informational();
    void listAtStart_data();
    void listAtStart();
    void simulatorOptions_data();
    void simulatorOptions();

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
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // how the output begins
    QTest::newRow("--version") << "--version" << 0 << "kavrik " KAVRIK_VERSION "\n";
    QTest::newRow("-v") << "-v" << 0 << "kavrik " KAVRIK_VERSION "\n";
    QTest::newRow("--help") << "--help" << 0 << "Использование: kavrik [параметры] [файл]";
    QTest::newRow("an unknown option") << "--bogus" << 2 << "kavrik: Неизвестный параметр «bogus».";
    // What it lists depends on the machine's pads; it answers without a
    // display all the same.
    QTest::newRow("--list-pads") << "--list-pads" << 0 << "";
}

void TestCommandLine::informational()
{
    QFETCH(QString, option);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);

    QProcess kavrik;
    kavrik.setProcessEnvironment(withoutDisplay());
    kavrik.start(QStringLiteral(KAVRIK_PROGRAM), {option});
    QVERIFY(kavrik.waitForFinished(10000));
    QCOMPARE(kavrik.exitStatus(), QProcess::NormalExit);
    QCOMPARE(kavrik.exitCode(), exitCode);
    const QByteArray printed = exitCode == 0 ? kavrik.readAllStandardOutput() : kavrik.readAllStandardError();
    const QString out = QString::fromLocal8Bit(printed)
                            .replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
                            .replace(QDir::toNativeSeparators(QStringLiteral(KAVRIK_PROGRAM)), QStringLiteral("kavrik"))
                            .replace(QStringLiteral(KAVRIK_PROGRAM), QStringLiteral("kavrik"))
                            .replace(QStringLiteral("kavrik.exe"), QStringLiteral("kavrik"));
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

    if (QStringLiteral(CMDLINE_PROBE).isEmpty())
        QSKIP("no probe can be preloaded into a Windows program; the installer's test starts it with a list named");
    const QString listFile = dir.filePath(QStringLiteral("vehicle.kvr"));
    QVERIFY(writeFileBytes(listFile, "W|87|0|1|512|1\nA|65|2|0|100|0\n"));
    QFile::remove(dir.filePath(QStringLiteral("fifo")));
    QVERIFY(makeFifo(dir.filePath(QStringLiteral("fifo"))));
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

void TestCommandLine::simulatorOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said"); // the start of what it prints

    QTest::newRow("--version") << QStringList{"--version"} << 0 << "kavrik-simulator " KAVRIK_VERSION "\n";
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "Usage: kavrik-simulator [options]";
    // Refused before a window would need a display.
    QTest::newRow("watchdog not a number") << QStringList{"--watchdog", "abc"} << 2
                                           << "kavrik-simulator: --watchdog takes milliseconds";
    QTest::newRow("too many extensions") << QStringList{"--extensions", "9"} << 2
                                         << "kavrik-simulator: --extensions takes 0 to 8";
    QTest::newRow("latency too long") << QStringList{"--headless", "--latency", "70000"} << 2
                                      << "kavrik-simulator: --latency takes 0 to 60000";
    QTest::newRow("error code not a number") << QStringList{"--error", "2:x"} << 2
                                             << "kavrik-simulator: --error takes CMD or CMD:CODE";
    QTest::newRow("unknown option") << QStringList{"--headless", "--bogus"} << 2
                                    << "kavrik-simulator: Unknown option 'bogus'.";
    QTest::newRow("unknown option, for a window") << QStringList{"--bogus"} << 2
                                                  << "kavrik-simulator: Unknown option 'bogus'.";
    // A TXT takes one extension.
    QTest::newRow("TXT with two extensions") << QStringList{"--txt", "--extensions", "2"} << 2
                                             << "kavrik-simulator: --extensions takes 0 or 1 with --txt";
    QTest::newRow("TXT port above 65535") << QStringList{"--headless", "--txt", "127.0.0.1:65536"} << 2
                                          << "kavrik-simulator: --txt takes a port from 0 to 65535";
    QTest::newRow("TXT host name") << QStringList{"--headless", "--txt", "localhost:65000"} << 2
                                   << "kavrik-simulator: --txt takes HOST:PORT with a numeric IPv4 host";
    QTest::newRow("TXT with a ROBO TX behaviour") << QStringList{"--headless", "--txt", "--noise"} << 2
                                                  << "kavrik-simulator: --noise is not for --txt";
    QTest::newRow("an address without --txt") << QStringList{"--headless", "127.0.0.1:0"} << 2
                                              << "kavrik-simulator: unexpected argument 127.0.0.1:0";
}

void TestCommandLine::simulatorOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, said);

    if (QStringLiteral(KAVRIK_SIMULATOR).isEmpty())
        QSKIP("the simulator is a Linux program");
    QProcess simulator;
    QProcessEnvironment env = withoutDisplay();
    env.insert(QStringLiteral("KAVRIK_SIM_DIR"), dir.path());
    simulator.setProcessEnvironment(env);
    simulator.start(QStringLiteral(KAVRIK_SIMULATOR), arguments);
    QVERIFY(simulator.waitForFinished(10000));
    QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.exitCode(), exitCode);
    const QString out = QString::fromUtf8(exitCode == 0 ? simulator.readAllStandardOutput()
                                                        : simulator.readAllStandardError())
                            .replace(QStringLiteral(KAVRIK_SIMULATOR), QStringLiteral("kavrik-simulator"));
    QVERIFY2(out.startsWith(said), qPrintable(out));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
