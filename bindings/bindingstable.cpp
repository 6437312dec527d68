// SPDX-License-Identifier: GPL-3.0-or-later
// The bindings table: a view of the binding list, rebuilt in full after
// every change, and the main-window slots that change the list through it.
#include "app/mainwindow.h"

#include <algorithm>

#include <QHeaderView>
#include <QSignalBlocker>
#include <QStyle>
#include <QTableWidgetItem>

#include "bindings/bindinglist.h"
#include "bindings/bindingstable.h"
#include "bindings/rowmarks.h"
#include "common/fontfit.h"
#include "common/processobjects.h"
#include "controller/endswitches.h"
#include "controller/ftconnection.h"
#include "editor/formeditor.h"
#include "ui_mainwindow.h"

namespace {

QString controllerText(qint32 controller)
{
    return controller == 0 ? QStringLiteral("Master") : QStringLiteral("Extension %1").arg(controller);
}

QString motorText(qint32 motor)
{
    // Wraps like the rest of the 32-bit arithmetic for numbers from a file.
    return QStringLiteral("M%1").arg(static_cast<qint32>(static_cast<quint32>(motor) + 1u));
}

// The direction, with the end switch that ends its travel: the column has
// room for both, and the window stays as wide as it is.
QString directionText(const KeyBinding &b)
{
    const QString arrow = b.direction ? QStringLiteral("--->") : QStringLiteral("<---");
    return b.endSwitch == 0 ? arrow : arrow + QStringLiteral(" I%1").arg(b.endSwitch);
}

} // namespace

QFont fitBindingsCells(const QTableWidget *table)
{
    // The item view's margin on either side of a cell's text, and the grid
    // line, which takes the last pixel of each column.
    const int margin = 2 * (table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1)
        + (table->showGrid() ? 1 : 0);
    QVector<QPair<QString, int>> widest;
    for (const QString &text : {controllerText(0), controllerText(maxExtensions)})
        widest.append({text, table->columnWidth(1) - margin});
    widest.append({motorText(3), table->columnWidth(2) - margin});
    for (const QString &text : {QStringLiteral("---> I8"), QStringLiteral("<--- I8")})
        widest.append({text, table->columnWidth(3) - margin});
    widest.append({QString::number(512), table->columnWidth(4) - margin});
    return fontFitting(table->font(), widest);
}

void MainWindow::updateBindingsTable()
{
    QTableWidget *table = ui->tableWidget;
    const BindingList &list = bindingList();
    const int rows = list.size();

    // Built in one go with the selection signal held back, then the final
    // selection is applied once: selecting every new row in turn would make
    // the rebuild of a long list quadratic, with the same end result.
    {
        const QSignalBlocker blocker(table);
        table->setUpdatesEnabled(false);
        table->setRowCount(0);
        table->setRowCount(rows);
        rowMarks->listChanged();
        for (int r = 0; r < rows; ++r) {
            const KeyBinding &b = list.at(r);
            table->setItem(r, 0, RowMarks::newCell(b.keyText));
            table->setItem(r, 1, RowMarks::newCell(controllerText(b.controller)));
            table->setItem(r, 2, RowMarks::newCell(motorText(b.motor)));
            table->setItem(r, 3, RowMarks::newCell(directionText(b)));
            table->setItem(r, 4, RowMarks::newCell(QString::number(b.speed)));
        }

        const int editedRow = editor->editedRow;
        const int selected = editedRow < 0 ? rows - 1 : editedRow;
        if (selected >= 0 && selected < rows) {
            table->setCurrentCell(selected, 0,
                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        }
        table->setUpdatesEnabled(true);
    }
    const FtConnection &connection = ftConnection();
    // Held keys were let go before any change; the switches follow the list.
    if (connection.connected)
        endSwitches->tell(list, connection, false);
    rowMarks->connectionChanged(connection.connected, connection.missingExtensions, connection.kind);
    rowMarks->drivingChanged();
    on_tableWidget_itemSelectionChanged();
}

// Selection changed: Edit and Delete need a selected row
void MainWindow::on_tableWidget_itemSelectionChanged()
{
    ui->pushButton_7->setEnabled(ui->tableWidget->selectionModel()->hasSelection());
    ui->pushButton_8->setEnabled(ui->pushButton_7->isEnabled());
}

// "Удалить": erase the bindings of all selected rows
void MainWindow::on_pushButton_8_clicked()
{
    const QModelIndexList selectedRows = ui->tableWidget->selectionModel()->selectedRows();
    QList<int> rows;
    rows.reserve(selectedRows.size());
    for (const QModelIndex &index : selectedRows)
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());

    bindingList().releaseHeldBindings();
    bindingList().eraseAll(rows);
    editor->rowsErased(rows);
    updateBindingsTable();
    ui->tableWidget->clearSelection();
    listSaved() = false;
    updateFileActions();
}

// The editor added or changed a binding
void MainWindow::buttonsChanged()
{
    bindingList().releaseHeldBindings();
    listSaved() = false;
    updateBindingsTable();
    updateFileActions();
    // Shown where the user can see it: a new row comes below the visible
    // ones. The table lays its rows out first, which it would do later.
    QTableWidget *table = ui->tableWidget;
    if (QTableWidgetItem *current = table->currentItem()) {
        table->doItemsLayout();
        table->scrollToItem(current);
    }
}
