// SPDX-License-Identifier: GPL-3.0-or-later
// Every caption of the three fixed-size windows fits its widget, at the
// screen scale the test runs with (ctest runs it at 1 and at 2).
#include <QComboBox>
#include <QPushButton>
#include <QStyleOption>
#include <QTableWidget>
#include <QToolTip>
#include <QtTest>

#include "about/formabout.h"
#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/fontfit.h"
#include "common/processobjects.h"
#include "editor/formeditor.h"
#include "tests/fakecalls.h"
#include "tests/testsupport.h"

namespace {

// Whether a text is painted cut: the area as painted, against the same area
// when the column (or the box) has room to spare.
bool paintedCut(QTableWidget *table, const QRect &cell, int column)
{
    // The cell as the view lays it out leaves out the grid line.
    const QImage asIs = table->viewport()->grab(cell).toImage();
    const int width = table->columnWidth(column);
    table->setColumnWidth(column, width + 300);
    const QImage roomy = table->viewport()->grab(cell).toImage();
    table->setColumnWidth(column, width);
    return asIs != roomy;
}

bool paintedCut(QComboBox *combo)
{
    QStyleOptionComboBox option;
    option.initFrom(combo);
    const QRect field =
        combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
    const QImage asIs = combo->grab(field).toImage();
    const QSize size = combo->size();
    combo->resize(size.width() + 300, size.height());
    const QImage roomy = combo->grab(field).toImage();
    combo->resize(size);
    return asIs != roomy;
}

// The tooltip a widget shows for a point, as the mouse resting there asks.
QString toolTipAt(QWidget *widget, const QPoint &at)
{
    // A tip goes after a short delay.
    QToolTip::hideText();
    for (int waited = 0; QToolTip::isVisible() && waited < 2000; waited += 10)
        QTest::qWait(10);
    QHelpEvent help(QEvent::ToolTip, at, widget->mapToGlobal(at));
    QApplication::sendEvent(widget, &help);
    const QString text = QToolTip::isVisible() ? QToolTip::text() : QString();
    QToolTip::hideText();
    return text;
}

} // namespace

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
        // controller, motor, direction and speed there are. A key's text
        // that cannot shows whole in its tooltip.
        const QString longKey = QStringLiteral("клавиша с очень длинным текстом");
        bindingList().append(makeBinding(QStringLiteral("w"), 'W', 8, 3, true, 512));
        bindingList().at(0).endSwitch = 8;
        bindingList().append(makeBinding(QStringLiteral("a"), 'A', 0, 0, false, 512));
        bindingList().append(makeBinding(longKey, 'L', 0, 0, false, 1));
        main.updateBindingsTable();
        for (int row = 0; row < 2; ++row) {
            for (int column = 1; column < table->columnCount(); ++column)
                QVERIFY2(!paintedCut(table, table->visualRect(table->model()->index(row, column)), column),
                         qPrintable(table->item(row, column)->text()));
        }
        const QRect keyCell = table->visualRect(table->model()->index(2, 0));
        QVERIFY(paintedCut(table, keyCell, 0));
        QCOMPARE(toolTipAt(table->viewport(), keyCell.center()), longKey);
        QCOMPARE(toolTipAt(table->viewport(), table->visualRect(table->model()->index(0, 1)).center()), QString());

        // The port list: the entry shown cut carries its whole text.
        auto *ports = shown->findChild<QComboBox *>(QStringLiteral("comboBox"));
        ports->addItems({QStringLiteral("/dev/pts/0 ROBO TX simulator"), QStringLiteral("COM3")});
        for (int i = 0; i < ports->count(); ++i) {
            ports->setCurrentIndex(i);
            const bool cut = paintedCut(ports);
            QCOMPARE(cut, i == 0);
            QCOMPARE(ports->toolTip(), cut ? ports->itemText(i) : QString());
            QCOMPARE(ports->itemData(i, Qt::ToolTipRole).toString(), cut ? ports->itemText(i) : QString());
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
