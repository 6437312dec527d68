// SPDX-License-Identifier: GPL-3.0-or-later
// Preloaded (LD_PRELOAD) into kavrik by tst_commandline: when the program
// enters its event loop, prints the rows of the bindings table and whether
// Save is enabled, then deletes the first row and runs Save, so the test can
// see which file Save writes. A message box or dialog shown on the way is
// printed and ends the process, so nothing can hang.
#include <unistd.h>

#include <cstdio>

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <QStringList>
#include <QTableWidget>

namespace {

void printLine(const QStringList &fields)
{
    std::fputs(fields.join(QLatin1Char('\t')).toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
}

[[noreturn]] void finish(int status)
{
    std::fflush(stdout);
    // No destructors: the program's objects are not ours to tear down.
    _exit(status);
}

} // namespace

int QApplication::exec()
{
    QMainWindow *window = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *main = qobject_cast<QMainWindow *>(w))
            window = main;
    }
    if (!window)
        finish(4);
    auto *table = window->findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    for (int r = 0; r < table->rowCount(); ++r) {
        QStringList row{QStringLiteral("row")};
        for (int c = 0; c < table->columnCount(); ++c)
            row << table->item(r, c)->text();
        printLine(row);
    }
    printLine({QStringLiteral("save"),
               window->findChild<QAction *>(QStringLiteral("action_5"))->isEnabled() ? QStringLiteral("enabled")
                                                                                     : QStringLiteral("disabled")});
    if (table->rowCount() > 0) {
        table->selectRow(0);
        QMetaObject::invokeMethod(window, "on_pushButton_8_clicked");
        QMetaObject::invokeMethod(window, "on_action_5_triggered");
        printLine({QStringLiteral("saved")});
    }
    finish(0);
}

// Message boxes and dialogs alike: the program calls the dialog's exec().
int QDialog::exec()
{
    const auto *box = qobject_cast<QMessageBox *>(this);
    printLine({QStringLiteral("box"), windowTitle(), box ? box->text() : QString::fromLatin1(metaObject()->className())});
    finish(3);
}
