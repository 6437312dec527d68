// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/messagebox.h"

#include <QAbstractButton>

void execMessageBox(const QString &title, const QString &text, QMessageBox::Icon icon, const QString &why)
{
    QMessageBox box;
    box.setWindowTitle(title);
    box.setText(text);
    box.setInformativeText(why);
    box.setIcon(icon);
    // What a box says (a port, a file, an address) can be copied.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.setStandardButtons(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    box.exec();
}

QMessageBox::StandardButton askToSave(const QString &text, const QString &why)
{
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Kavrik"));
    box.setText(text);
    box.setInformativeText(why);
    box.setIcon(QMessageBox::Question);
    box.setStandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    // The same words with or without the toolkit's own translation.
    box.button(QMessageBox::Save)->setText(QStringLiteral("Сохранить"));
    box.button(QMessageBox::Discard)->setText(QStringLiteral("Не сохранять"));
    box.button(QMessageBox::Cancel)->setText(QStringLiteral("Отмена"));
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    box.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    box.exec();
    const QMessageBox::StandardButton answer = box.standardButton(box.clickedButton());
    return answer == QMessageBox::Save || answer == QMessageBox::Discard ? answer : QMessageBox::Cancel;
}
