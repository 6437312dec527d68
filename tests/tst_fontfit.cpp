// SPDX-License-Identifier: GPL-3.0-or-later
// Every caption of the three fixed-size windows fits its widget, at the
// screen scale the test runs with (ctest runs it at 1 and at 2).
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include "about/formabout.h"
#include "app/mainwindow.h"
#include "common/fontfit.h"
#include "editor/formeditor.h"
#include "tests/fakecalls.h"
#include "tests/testsupport.h"

class TestFontFit : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void captionsFit_data();
    void captionsFit();
    void tooLongCaptionIsSeen();
};

void TestFontFit::init()
{
    resetProgramState();
    fakeFtReset();
}

void TestFontFit::captionsFit_data()
{
    QTest::addColumn<QString>("window");
    QTest::newRow("main window") << "MainWindow";
    QTest::newRow("editor") << "FormEditor";
    QTest::newRow("about box") << "FormAbout";
}

void TestFontFit::captionsFit()
{
    QFETCH(QString, window);

    MainWindow main;
    FormEditor editor;
    FormAbout about;
    QWidget *shown = window == "MainWindow" ? static_cast<QWidget *>(&main)
        : window == "FormEditor"            ? static_cast<QWidget *>(&editor)
                                            : static_cast<QWidget *>(&about);
    shown->show();
    QVERIFY(QTest::qWaitForWindowExposed(shown));
    QCOMPARE(clippedTexts(shown), QStringList());
    // The form's sizes stay, and never a font larger than the platform's.
    QCOMPARE(shown->size(), shown->minimumSize());
    QCOMPARE(shown->size(), shown->maximumSize());
    QVERIFY(shown->font().pointSizeF() <= QApplication::font().pointSizeF());
    if (auto *table = shown->findChild<QTableWidget *>(QStringLiteral("tableWidget")))
        QCOMPARE(table->font().pointSize(), 9);
    shown->close();
}

// The measure itself: a caption that cannot fit is reported.
void TestFontFit::tooLongCaptionIsSeen()
{
    QWidget window;
    auto *button = new QPushButton(QStringLiteral("Подключиться к контроллеру"), &window);
    button->setGeometry(10, 10, 40, 28);
    QCOMPARE(clippedTexts(&window), QStringList{"Подключиться к контроллеру"});
    fitFont(&window);
    QCOMPARE(clippedTexts(&window).size(), 1);
}

QTEST_MAIN(TestFontFit)
#include "tst_fontfit.moc"
