// SPDX-License-Identifier: GPL-3.0-or-later
#include "bindings/rowmarks.h"

#include <QCoreApplication>
#include <QHelpEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QToolTip>

#include "bindings/bindinglist.h"
#include "common/fontfit.h"
#include "common/processobjects.h"
#include "control/heldbindings.h"

namespace {

// Why a binding cannot work on the connected controller; empty when it can.
QString cannotWork(qint32 controller, quint32 missingExtensions)
{
    if (controller == 0)
        return QString();
    if (controller < 0 || controller > maxExtensions)
        return QCoreApplication::translate("RowMarks", "У контроллера нет расширения с номером %1: "
                                                       "эта привязка ничего не двигает.")
            .arg(controller);
    if (missingExtensions & (1u << (controller - 1)))
        return QCoreApplication::translate("RowMarks", "Расширения %1 нет на шине контроллера: "
                                                       "эта привязка сейчас ничего не двигает.")
            .arg(controller);
    return QString();
}

// Draws a driving row bold on a quiet background: a little of the
// selection's colour, which reads in light and dark palettes alike, and bold
// reads on the selection itself. Marking a row is then one value in its
// first cell, not a change to every cell.
class RowMarksDelegate : public QStyledItemDelegate
{
public:
    RowMarksDelegate(const QFont &cells, QObject *parent)
        : QStyledItemDelegate(parent)
        , cells(cells)
    {
    }

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        // The cells' own font, given here rather than to the table: a font
        // set on a widget goes to all its parts, which costs at start-up.
        option->font = cells;
        QStyledItemDelegate::initStyleOption(option, index);
        if (!index.sibling(index.row(), 0).data(drivingRole).toBool())
            return;
        option->font.setBold(true);
        QColor quiet = option->palette.color(QPalette::Highlight);
        quiet.setAlpha(70);
        option->backgroundBrush = quiet;
    }

    // A text the cell cannot show in full (a long key text, numbers from a
    // file) is shown whole in the tooltip, above what the row says itself.
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override
    {
        if (event->type() != QEvent::ToolTip || !index.isValid())
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        if (!itemTextCut(cell, view))
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        const QString own = index.data(Qt::ToolTipRole).toString();
        QToolTip::showText(event->globalPos(), own.isEmpty() ? cell.text : cell.text + QLatin1Char('\n') + own, view,
                           view->visualRect(index));
        return true;
    }

private:
    QFont cells;
};

} // namespace

RowMarks::RowMarks(QTableWidget *table, const QFont &cells)
    : table(table)
{
    table->setItemDelegate(new RowMarksDelegate(cells, table));
}

void RowMarks::findConflicts()
{
    // Rows of the same key on one output, and on the two directions of one
    // motor: flagged, not refused; falling back from one to the other may be
    // what the user wants.
    rowConflicts.clear();
    QHash<QPair<qint32, qint32>, int> firstOnOutput;
    QHash<QPair<qint32, qint32>, int> firstOnDirection;
    const BindingList &list = bindingList();
    for (int r = 0; r < list.size(); ++r) {
        const KeyBinding &b = list.at(r);
        const qint32 output = outputNumber(b);
        const auto same = firstOnOutput.constFind({b.keyCode, output});
        if (same != firstOnOutput.constEnd()) {
            const QString text =
                QCoreApplication::translate("RowMarks", "Эта клавиша уже ведёт этот выход в строке %1.");
            rowConflicts.insert(r, text.arg(*same + 1));
            if (!rowConflicts.contains(*same))
                rowConflicts.insert(*same, text.arg(r + 1));
        } else {
            firstOnOutput.insert({b.keyCode, output}, r);
        }
        // The other direction of the same motor.
        const auto opposite = firstOnDirection.constFind({b.keyCode, output ^ 1});
        if (opposite != firstOnDirection.constEnd()) {
            const QString text = QCoreApplication::translate(
                "RowMarks", "Эта клавиша ведёт этот мотор и в другую сторону в строке %1.");
            if (!rowConflicts.contains(r))
                rowConflicts.insert(r, text.arg(*opposite + 1));
            if (!rowConflicts.contains(*opposite))
                rowConflicts.insert(*opposite, text.arg(r + 1));
        }
        if (!firstOnDirection.contains({b.keyCode, output}))
            firstOnDirection.insert({b.keyCode, output}, r);
    }
}

void RowMarks::markRowHints(int row)
{
    QTableWidgetItem *items[bindingColumns];
    for (int c = 0; c < bindingColumns; ++c) {
        items[c] = table->item(row, c);
        if (!items[c])
            return;
    }
    markNewRow(row, items);
}

// Only what changes is set: a long list may hold thousands of flagged rows,
// and each value set on a cell in the table is a signal to the view. A new
// row gets its hints before its cells go into the table.
void RowMarks::markNewRow(int row, QTableWidgetItem *const *items)
{
    const QString dim = connectedForHints ? cannotWork(bindingList().at(row).controller, dimmedExtensions) : QString();
    const QString conflict = rowConflicts.value(row);
    for (int c = 0; c < bindingColumns; ++c) {
        QTableWidgetItem *item = items[c];
        QString tip = dim;
        // The key's cell says why it is flagged, beside the sign.
        if (c == 0 && !conflict.isEmpty())
            tip = dim.isEmpty() ? conflict : conflict + QLatin1Char('\n') + dim;
        if (item->toolTip() != tip)
            item->setToolTip(tip);
        if (!dim.isEmpty())
            item->setForeground(table->window()->palette().brush(QPalette::Disabled, QPalette::Text));
        else if (item->data(Qt::ForegroundRole).isValid())
            item->setData(Qt::ForegroundRole, QVariant());
    }
    QTableWidgetItem *key = items[0];
    if (!conflict.isEmpty() && key->icon().isNull()) {
        if (conflictSign.isNull())
            conflictSign = table->window()->style()->standardIcon(QStyle::SP_MessageBoxWarning);
        key->setIcon(conflictSign);
    } else if (conflict.isEmpty() && !key->icon().isNull()) {
        key->setIcon(QIcon());
    }
}

void RowMarks::markDriving(int row, bool driving)
{
    QTableWidgetItem *first = table->item(row, 0);
    if (!first)
        return;
    first->setData(drivingRole, driving ? QVariant(true) : QVariant());
    // The other cells of the row are drawn anew as well.
    table->viewport()->update(0, table->rowViewportPosition(row), table->viewport()->width(), table->rowHeight(row));
}

void RowMarks::listChanged()
{
    const BindingList &list = bindingList();
    rowsByKey.clear();
    for (int r = 0; r < list.size(); ++r)
        rowsByKey[list.at(r).keyCode].append(r);
    findConflicts();
    drivingRows.clear();
}

void RowMarks::connectionChanged(bool connected, quint32 missingExtensions)
{
    // The rows that cannot work, while connected; only those whose state
    // changes are touched.
    const quint32 missing = connected ? missingExtensions : 0;
    if (connected == connectedForHints && missing == dimmedExtensions)
        return;
    const quint32 before = dimmedExtensions;
    const bool wasConnected = connectedForHints;
    dimmedExtensions = missing;
    connectedForHints = connected;
    const BindingList &list = bindingList();
    for (int r = 0; r < list.size(); ++r) {
        const qint32 controller = list.at(r).controller;
        const bool dimBefore = wasConnected && !cannotWork(controller, before).isEmpty();
        const bool dimAfter = connected && !cannotWork(controller, missing).isEmpty();
        if (dimBefore != dimAfter)
            markRowHints(r);
    }
    // A binding for a controller that is not there drives nothing.
    drivingChanged();
}

void RowMarks::drivingChanged()
{
    // The binding that drives each output: its last held copy, found among
    // the rows of its key. A row is marked only while its output really runs
    // at its value: the library sends a motor whose two directions are both
    // driven as stopped, and a controller that is not there runs nothing.
    const BindingList &list = bindingList();
    const HeldBindings &held = list.held();
    const auto runs = [&held](qint32 output) {
        const auto found = held.constFind(output);
        return found != held.constEnd() && !found->isEmpty() && found->constLast().speed > 0;
    };
    QHash<qint32, int> driving;
    for (auto it = held.cbegin(); it != held.cend(); ++it) {
        if (!runs(it.key()) || runs(it.key() ^ 1))
            continue;
        const KeyBinding &copy = it->constLast();
        if (connectedForHints && !cannotWork(copy.controller, dimmedExtensions).isEmpty())
            continue;
        for (const int row : rowsByKey.value(copy.keyCode)) {
            if (row < list.size() && list.at(row) == copy) {
                driving.insert(it.key(), row);
                break;
            }
        }
    }
    for (auto it = drivingRows.cbegin(); it != drivingRows.cend(); ++it) {
        if (driving.value(it.key(), -1) != it.value())
            markDriving(it.value(), false);
    }
    for (auto it = driving.cbegin(); it != driving.cend(); ++it) {
        if (drivingRows.value(it.key(), -1) != it.value())
            markDriving(it.value(), true);
    }
    drivingRows = driving;
}
