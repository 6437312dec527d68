// SPDX-License-Identifier: GPL-3.0-or-later
// The "Файл" menu commands that work on list files.
#include "app/mainwindow.h"

#include <QFileDialog>

#include "bindings/bindinglist.h"
#include "bindings/listfile.h"
#include "common/processobjects.h"
#include "editor/formeditor.h"

namespace {

QString listFileFilter()
{
    return QStringLiteral("Kavrik List (*.kvr)");
}

} // namespace

// "Создать": an empty list; the file name stays for the next Save
void MainWindow::on_action_triggered()
{
    bindingList().releaseHeldBindings();
    bindingList().clear();
    editor->listCleared();
    updateBindingsTable();
    listSaved() = false;
    updateFileActions();
}

// "Открыть...": append the bindings of a list file
void MainWindow::on_action_2_triggered()
{
    const QString name =
        QFileDialog::getOpenFileName(this, tr("Открыть..."), QString(), listFileFilter());
    if (name.isEmpty())
        return;
    openListFile(name);
}

void MainWindow::openListFile(const QString &name)
{
    if (!loadBindingList(name)) {
        showMessage(tr("Ошибка"), lastFileError(), QMessageBox::Critical, lastFileReason());
        return;
    }
    bindingList().releaseHeldBindings();
    updateBindingsTable();
    currentFileName() = name;
    listSaved() = true;
    updateFileActions();
}

// "Сохранить": write to the current file, or ask for one
void MainWindow::on_action_5_triggered()
{
    if (currentFileName().isEmpty()) {
        on_action_6_triggered();
        return;
    }
    saveListAs(currentFileName());
}

// "Сохранить как...": write to a file the user names
void MainWindow::on_action_6_triggered()
{
    const QString name =
        QFileDialog::getSaveFileName(this, tr("Сохранить как..."), QString(), listFileFilter());
    if (name.isEmpty())
        return;
    saveListAs(name);
}

bool MainWindow::saveListAs(const QString &fileName)
{
    // A failed save keeps the old name and the unsaved state, so the user
    // can still save the list somewhere else.
    if (!saveBindingList(fileName)) {
        showMessage(tr("Ошибка"), lastFileError(), QMessageBox::Critical, lastFileReason());
        return false;
    }
    currentFileName() = fileName;
    listSaved() = true;
    updateFileActions();
    return true;
}
