// SPDX-License-Identifier: GPL-3.0-or-later
// The "Файл" menu commands that work on list files.
#include "app/mainwindow.h"

#include <algorithm>

#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>

#include "bindings/bindinglist.h"
#include "bindings/listfile.h"
#include "common/messagebox.h"
#include "common/processobjects.h"
#include "editor/formeditor.h"

namespace {

QString listFileFilter()
{
    return QStringLiteral("Kavrik List (*.kvr)");
}

// What the toolkit's static dialogs ask, but made to fit the screen: on a
// small screen at a high scale factor its own size would be larger.
QString askListFile(QWidget *parent, const QString &caption, QFileDialog::AcceptMode mode)
{
    QFileDialog dialog(parent, caption, QString(), listFileFilter());
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    if (const QScreen *screen = parent ? parent->screen() : QGuiApplication::primaryScreen()) {
        // The desktop frames the dialog as it framed the main window.
        const QMargins frame = parent ? QMargins(parent->geometry().left() - parent->frameGeometry().left(),
                                                 parent->geometry().top() - parent->frameGeometry().top(),
                                                 parent->frameGeometry().right() - parent->geometry().right(),
                                                 parent->frameGeometry().bottom() - parent->geometry().bottom())
                                      : QMargins();
        const QRect room = screen->availableGeometry().marginsRemoved(frame);
        QRect placed(QPoint(), dialog.sizeHint().boundedTo(room.size()).expandedTo(dialog.minimumSizeHint()));
        // Over the main window, as the toolkit would place it, but on the screen.
        placed.moveCenter(parent ? parent->geometry().center() : room.center());
        placed.moveLeft(qBound(room.left(), placed.left(), std::max(room.left(), room.right() - placed.width() + 1)));
        placed.moveTop(qBound(room.top(), placed.top(), std::max(room.top(), room.bottom() - placed.height() + 1)));
        dialog.setGeometry(placed);
    }
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

} // namespace

// Before the list is thrown away (close, "Выход", "Создать"): bindings not
// saved are saved first if the user wants, through Save as from the menu.
// False when the user would rather keep the list (or its save failed).
bool MainWindow::unsavedBindingsHandled()
{
    // An empty list loses nothing, nor one that is in its file.
    if (listSaved() || bindingList().size() == 0)
        return true;
    switch (askToSave(tr("Сохранить изменения в списке клавиш?"),
                      tr("Если не сохранить, добавленные, изменённые и удалённые привязки будут потеряны."))) {
    case QMessageBox::Save:
        on_action_5_triggered();
        return listSaved();
    case QMessageBox::Discard:
        return true;
    default:
        return false;
    }
}

// "Создать": an empty list; the file name stays for the next Save
void MainWindow::on_action_triggered()
{
    if (!unsavedBindingsHandled())
        return;
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
        askListFile(this, tr("Открыть..."), QFileDialog::AcceptOpen);
    if (name.isEmpty())
        return;
    openListFile(name);
}

void MainWindow::openListFile(const QString &name)
{
    // The file's bindings are appended: only onto an empty list is the list
    // then what the file holds, and bindings from before are in no file
    // yet (or in another one).
    const bool replacesNothing = bindingList().size() == 0;
    if (!loadBindingList(name)) {
        showMessage(tr("Ошибка"), lastFileError(), QMessageBox::Critical, lastFileReason());
        return;
    }
    bindingList().releaseHeldBindings();
    updateBindingsTable();
    currentFileName() = name;
    listSaved() = replacesNothing;
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
        askListFile(this, tr("Сохранить как..."), QFileDialog::AcceptSave);
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
