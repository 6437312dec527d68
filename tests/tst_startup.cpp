// SPDX-License-Identifier: GPL-3.0-or-later
#include <QLibrary>
#include <QProcess>
#include <QtTest>

#include "ftmsclib/entrypoints.h"
#include "tests/platformfiles.h"

namespace {

// Where each build of the stand-in lies; "absent" is an empty folder.
QString standInFolder(const QString &variant)
{
    static const QHash<QString, QString> folders = {
        {QStringLiteral("full"), QStringLiteral(FAKE_FTMSCLIB_FULL_DIR)},
        {QStringLiteral("noinit"), QStringLiteral(FAKE_FTMSCLIB_NOINIT_DIR)},
        {QStringLiteral("noversion"), QStringLiteral(FAKE_FTMSCLIB_NOVERSION_DIR)},
        {QStringLiteral("absent"), QStringLiteral(FAKE_FTMSCLIB_DIR "/absent")},
    };
    return folders.value(variant);
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void outcome_data();
    void outcome();
    void standInOffersTheProgramsList_data();
    void standInOffersTheProgramsList();
};

void TestStartup::standInOffersTheProgramsList_data()
{
    QTest::addColumn<QString>("variant");
    QTest::addColumn<QStringList>("missing");
    QTest::newRow("whole") << "full" << QStringList();
    QTest::newRow("without ftxInitLib") << "noinit" << QStringList{"ftxInitLib"};
    QTest::newRow("without ftxGetLibVersionStr") << "noversion" << QStringList{"ftxGetLibVersionStr"};
}

// The stand-in offers every entry point the program looks up, but for the
// one a variant leaves out on purpose.
void TestStartup::standInOffersTheProgramsList()
{
    QFETCH(QString, variant);
    QFETCH(QStringList, missing);

    QLibrary standIn(standInFolder(variant) + QStringLiteral("/" FAKE_FTMSCLIB_FILE_NAME));
    QVERIFY2(standIn.load(), qPrintable(standIn.errorString()));
    QStringList absent;
#define KAVRIK_CHECK_ENTRY(name)                                                                   \
    if (!standIn.resolve(#name))                                                                   \
        absent.append(QStringLiteral(#name));
    FTLIB_ENTRY_POINTS(KAVRIK_CHECK_ENTRY)
#undef KAVRIK_CHECK_ENTRY
    QCOMPARE(absent, missing);
}

void TestStartup::outcome_data()
{
    QTest::addColumn<QString>("variant");
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("initResult");
    QTest::addColumn<QString>("expectedBox");
    QTest::addColumn<bool>("portSearch");

    const QString error = QStringLiteral("Ошибка\tНе удалось загрузить библиотеку \"ftMscLib\"\t3\tbefore");
    const QString warning =
        QStringLiteral("Внимание\tЭта версия библиотеки может работать неккоректно\t2\tbefore");

    QTest::newRow("exact version") << "full" << QByteArray("01.05.11  (2012/02/19)") << QByteArray("0")
                                   << QString() << true;
    QTest::newRow("library absent") << "absent" << QByteArray() << QByteArray() << error << false;
    QTest::newRow("no ftxInitLib") << "noinit" << QByteArray() << QByteArray() << error << true;
    QTest::newRow("no ftxGetLibVersionStr") << "noversion" << QByteArray() << QByteArray() << error << true;
    QTest::newRow("ftxInitLib fails") << "full" << QByteArray("01.05.11  (2012/02/19)")
                                      << QByteArray("0xE0001000") << error << true;
    QTest::newRow("one blank instead of two") << "full" << QByteArray("01.05.11 (2012/02/19)")
                                              << QByteArray("0") << warning << true;
    QTest::newRow("non-zero 23rd byte") << "full" << QByteArray("01.05.11  (2012/02/19)X")
                                        << QByteArray("0") << warning << true;
    QTest::newRow("other version") << "full" << QByteArray("02.00.00  (2020/01/01)") << QByteArray("0")
                                   << warning << true;
}

void TestStartup::outcome()
{
    QFETCH(QString, variant);
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, initResult);
    QFETCH(QString, expectedBox);
    QFETCH(bool, portSearch);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(librarySearchVariable(), QDir::toNativeSeparators(QFileInfo(standInFolder(variant)).absoluteFilePath()));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!version.isNull())
        env.insert(QStringLiteral("FAKE_FTMSCLIB_VERSION"), QString::fromLatin1(version));
    if (!initResult.isNull())
        env.insert(QStringLiteral("FAKE_FTMSCLIB_INIT_RESULT"), QString::fromLatin1(initResult));

    QProcess probe;
    probe.setProcessEnvironment(env);
    // Windows looks for a library in the current folder too: not in the
    // tests' own, which holds the whole stand-in.
    probe.setWorkingDirectory(QFileInfo(QStringLiteral(STARTUP_PROBE)).absolutePath());
    probe.start(QStringLiteral(STARTUP_PROBE), QStringList());
    QVERIFY(probe.waitForFinished(30000));
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), 0);

    const QStringList lines = QString::fromUtf8(probe.readAllStandardOutput())
                                  .remove(QLatin1Char('\r'))
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QStringList boxes = lines.filter(QRegExp(QStringLiteral("^box\t")));
    if (expectedBox.isEmpty()) {
        QCOMPARE(boxes, QStringList());
    } else {
        QCOMPARE(boxes, QStringList{QStringLiteral("box\t") + expectedBox});
    }
    QVERIFY(lines.contains(QStringLiteral("portSearch\t%1").arg(int(portSearch))));
    QVERIFY(lines.contains(QStringLiteral("connectionControls\t0")));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
