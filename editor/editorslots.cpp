// SPDX-License-Identifier: GPL-3.0-or-later
// The main-window slots that open the binding editor.
#include "app/mainwindow.h"

#include "editor/formeditor.h"
#include "ui_mainwindow.h"

// "Добавить": open the editor for a new binding
void MainWindow::on_pushButton_6_clicked()
{
    editor->openForRow(-1);
}

// "Редактир.": open the editor for the current row (a new binding if none)
void MainWindow::on_pushButton_7_clicked()
{
    editor->openForRow(ui->tableWidget->currentRow());
}

// Double-click on a row: the same as "Редактир."; the row is already current
void MainWindow::on_tableWidget_itemDoubleClicked(QTableWidgetItem *)
{
    on_pushButton_7_clicked();
}
