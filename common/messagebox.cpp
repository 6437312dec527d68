// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/messagebox.h"

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
