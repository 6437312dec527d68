// SPDX-License-Identifier: GPL-3.0-or-later
// Every caption of the three fixed-size windows fits its widget, at the
// screen scale the test runs with (ctest runs it at 1 and at 2).
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include "about/formabout.h"
#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/fontfit.h"
#include "common/processobjects.h"
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
    QTest::addColumn<int>("platformPoints"); // the desktop's font size; 0: as it is
    QTest::newRow("main window") << "MainWindow" << 0;
    QTest::newRow("editor") << "FormEditor" << 0;
    QTest::newRow("about box") << "FormAbout" << 0;
    // Captions that fit the platform's wide family, cells that do not.
    QTest::newRow("main window, a small desktop font") << "MainWindow" << 7;
}

void TestFontFit::captionsFit()
{
    QFETCH(QString, window);
    QFETCH(int, platformPoints);
    const QFont platform = QApplication::font();
    const auto restore = qScopeGuard([platform] { QApplication::setFont(platform); });
    if (platformPoints > 0) {
        QFont small = platform;
        small.setPointSize(platformPoints);
        QApplication::setFont(small);
    }

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
    if (auto *table = shown->findChild<QTableWidget *>(QStringLiteral("tableWidget"))) {
        QCOMPARE(table->font().pointSize(), 9);
        // Every cell but a key's reads in full in its column: the widest
        // controller, motor, direction and speed there are.
        bindingList().append(makeBinding(QStringLiteral("w"), 'W', 8, 3, true, 512));
        bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 0, false, 512));
        main.updateBindingsTable();
        const int margin = 2 * (table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1);
        for (int row = 0; row < table->rowCount(); ++row) {
            for (int column = 1; column < table->columnCount(); ++column) {
                const QString text = table->item(row, column)->text();
                QVERIFY2(table->fontMetrics().horizontalAdvance(text) + margin <= table->columnWidth(column),
                         qPrintable(text));
            }
        }
        // Closed without the question about the list.
        listSaved() = true;
    }
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
