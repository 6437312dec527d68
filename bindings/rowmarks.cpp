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

// Whether a binding's controller is there on the connected controller.
bool canWork(qint32 controller, quint32 missingExtensions)
{
    return controller == 0
        || (controller > 0 && controller <= maxExtensions && !(missingExtensions & (1u << (controller - 1))));
}

// Why a binding whose controller is not there cannot work.
QString whyItCannotWork(qint32 controller, const ControllerKind &kind)
{
    if (controller < 0 || controller > maxExtensions)
        return QCoreApplication::translate("RowMarks", "У контроллера нет расширения с номером %1: "
                                                       "эта привязка ничего не двигает.")
            .arg(controller);
    if (kind.isTxt() && controller > kind.maxExtensions)
        return QCoreApplication::translate("RowMarks", "Контроллер TXT берёт только одно расширение: "
                                                       "расширения %1 у него нет, эта привязка ничего не двигает.")
            .arg(controller);
    // Before the transfer runs the TXT has not said yet.
    if (kind.isTxt() && kind.extensionsOnlyWhileRunning)
        return QCoreApplication::translate("RowMarks", "Контроллер TXT не сообщил о расширении 1 (он сообщает о "
                                                       "нём после \"Старт\"): эта привязка сейчас ничего не "
                                                       "двигает.");
    return QCoreApplication::translate("RowMarks", "Расширения %1 нет на шине контроллера: "
                                                   "эта привязка сейчас ничего не двигает.")
        .arg(controller);
}

// Draws a driving row bold on a quiet background: a little of the
// selection's colour, which reads in light and dark palettes alike, and bold
// reads on the selection itself. Marking a row is then one value in its
// first cell, not a change to every cell.
class RowMarksDelegate : public QStyledItemDelegate
{
public:
    RowMarksDelegate(const RowMarks *marks, const QFont &cells, QObject *parent)
        : QStyledItemDelegate(parent)
        , marks(marks)
        , cells(cells)
    {
    }

    // Null once the marks are gone, before the table.
    const RowMarks *marks;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        // The cells' own font, given here rather than to the table: a font
        // set on a widget goes to all its parts, which costs at start-up.
        option->font = cells;
        QStyledItemDelegate::initStyleOption(option, index);
        // A row stopped at its switch drives nothing, whatever is held: its
        // own look, in a colour that no selection or palette takes.
        if (marks && marks->stopped(index.row())) {
            option->font.setItalic(true);
            option->backgroundBrush = QColor(220, 60, 40, 60);
            return;
        }
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

// A cell whose tooltip, sign and colour are its row's marks, asked for
// when shown: a rebuild of the table sets none of them.
class MarkedCell : public QTableWidgetItem
{
public:
    using QTableWidgetItem::QTableWidgetItem;

    QVariant data(int role) const override
    {
        if (role == Qt::ToolTipRole || role == Qt::DecorationRole || role == Qt::ForegroundRole) {
            const QTableWidget *view = tableWidget();
            const auto *delegate = view ? dynamic_cast<const RowMarksDelegate *>(view->itemDelegate()) : nullptr;
            if (delegate && delegate->marks) {
                const QVariant mark = delegate->marks->cellMark(view->row(this), view->column(this), role);
                if (mark.isValid())
                    return mark;
            }
        }
        return QTableWidgetItem::data(role);
    }
};

// Where the rows of one key on one output are, for `capacity` a power of two.
std::size_t slotIndex(qint32 keyCode, qint32 output, std::size_t capacity)
{
    quint64 h = (quint64(quint32(keyCode)) << 32 | quint32(output)) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 32;
    return static_cast<std::size_t>(h) & (capacity - 1);
}

} // namespace

RowMarks::RowMarks(QTableWidget *table, const QFont &cells)
    : table(table)
{
    table->setItemDelegate(new RowMarksDelegate(this, cells, table));
}

RowMarks::~RowMarks()
{
    if (auto *delegate = dynamic_cast<RowMarksDelegate *>(table->itemDelegate()))
        delegate->marks = nullptr;
}

QTableWidgetItem *RowMarks::newCell(const QString &text)
{
    return new MarkedCell(text);
}

RowMarks::KeyOutput *RowMarks::slotOf(qint32 keyCode, qint32 output)
{
    for (std::size_t i = slotIndex(keyCode, output, keyOutputs.size());; i = (i + 1) & (keyOutputs.size() - 1)) {
        KeyOutput &slot = keyOutputs[i];
        if (slot.first < 0) {
            slot.keyCode = keyCode;
            slot.output = output;
            return &slot;
        }
        if (slot.keyCode == keyCode && slot.output == output)
            return &slot;
    }
}

const RowMarks::KeyOutput *RowMarks::findSlot(qint32 keyCode, qint32 output) const
{
    if (keyOutputs.empty())
        return nullptr;
    for (std::size_t i = slotIndex(keyCode, output, keyOutputs.size());; i = (i + 1) & (keyOutputs.size() - 1)) {
        const KeyOutput &slot = keyOutputs[i];
        if (slot.first < 0)
            return nullptr;
        if (slot.keyCode == keyCode && slot.output == output)
            return &slot;
    }
}

void RowMarks::listChanged()
{
    // Rows of the same key on one output, and on the two directions of one
    // motor: flagged, not refused; falling back from one to the other may be
    // what the user wants. Each row names the first other row it is flagged
    // for; that row names it back unless it is flagged already.
    const BindingList &list = bindingList();
    const int rows = list.size();
    // At most three quarters full, however many keys and outputs there are.
    std::size_t capacity = 16;
    while (capacity * 3 < static_cast<std::size_t>(rows) * 4)
        capacity *= 2;
    keyOutputs.assign(capacity, KeyOutput());
    nextOfKeyOutput.assign(static_cast<std::size_t>(rows), -1);
    conflicts.assign(static_cast<std::size_t>(rows), -1);
    for (int r = 0; r < rows; ++r) {
        const KeyBinding &b = list.at(r);
        const qint32 output = outputNumber(b);
        KeyOutput *same = slotOf(b.keyCode, output);
        if (same->first >= 0) {
            conflicts[r] = same->first * 2;
            if (conflicts[same->first] < 0)
                conflicts[same->first] = r * 2;
            nextOfKeyOutput[same->last] = r;
        } else {
            same->first = r;
        }
        same->last = r;
        // The other direction of the same motor.
        if (const KeyOutput *opposite = findSlot(b.keyCode, output ^ 1)) {
            if (conflicts[r] < 0)
                conflicts[r] = opposite->first * 2 + 1;
            if (conflicts[opposite->first] < 0)
                conflicts[opposite->first] = r * 2 + 1;
        }
    }
    drivingRows.clear();
}

int RowMarks::conflictOf(int row) const
{
    return static_cast<std::size_t>(row) < conflicts.size() ? conflicts[row] : -1;
}

QString RowMarks::conflictText(int row) const
{
    const int conflict = conflictOf(row);
    if (conflict < 0)
        return QString();
    const QString text = conflict & 1
        ? QCoreApplication::translate("RowMarks", "Эта клавиша ведёт этот мотор и в другую сторону в строке %1.")
        : QCoreApplication::translate("RowMarks", "Эта клавиша уже ведёт этот выход в строке %1.");
    return text.arg(conflict / 2 + 1);
}

QVariant RowMarks::cellMark(int row, int column, int role) const
{
    const BindingList &list = bindingList();
    if (row < 0 || row >= list.size())
        return QVariant();
    const qint32 controller = list.at(row).controller;
    const bool dim = connectedForHints && !canWork(controller, dimmedExtensions);
    switch (role) {
    case Qt::ForegroundRole:
        return dim ? QVariant(table->window()->palette().brush(QPalette::Disabled, QPalette::Text)) : QVariant();
    case Qt::DecorationRole:
        if (column != 0 || conflictOf(row) < 0)
            return QVariant();
        if (conflictSign.isNull())
            conflictSign = table->window()->style()->standardIcon(QStyle::SP_MessageBoxWarning);
        return conflictSign;
    case Qt::ToolTipRole: {
        // The key's cell says why it is flagged, beside the sign.
        QString why = dim ? whyItCannotWork(controller, kindForHints) : QString();
        if (stopped(row)) {
            const QString stop = QCoreApplication::translate("RowMarks", "Остановлено: I%1 замкнут")
                                     .arg(list.at(row).endSwitch);
            why = why.isEmpty() ? stop : stop + QLatin1Char('\n') + why;
        }
        const QString conflict = column == 0 ? conflictText(row) : QString();
        if (conflict.isEmpty())
            return why.isEmpty() ? QVariant() : QVariant(why);
        return why.isEmpty() ? conflict : conflict + QLatin1Char('\n') + why;
    }
    default:
        return QVariant();
    }
}

void RowMarks::switchesChanged(const std::array<quint32, maxExtensions + 1> &closed)
{
    if (closed == closedSwitches)
        return;
    closedSwitches = closed;
    table->viewport()->update();
}

bool RowMarks::stopped(int row) const
{
    const BindingList &list = bindingList();
    if (row < 0 || row >= list.size())
        return false;
    const KeyBinding &b = list.at(row);
    return b.endSwitch >= 1 && b.endSwitch <= maxEndSwitch && b.controller >= 0 && b.controller <= maxExtensions
        && (closedSwitches[static_cast<std::size_t>(b.controller)] & (1u << (b.endSwitch - 1)));
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

void RowMarks::connectionChanged(bool connected, quint32 missingExtensions, const ControllerKind &kind)
{
    const quint32 missing = connected ? missingExtensions : 0;
    const ControllerKind hinted = connected ? kind : ControllerKind();
    if (connected == connectedForHints && missing == dimmedExtensions && hinted == kindForHints)
        return;
    dimmedExtensions = missing;
    connectedForHints = connected;
    kindForHints = hinted;
    // The cells ask for their colours and tooltips anew.
    table->viewport()->update();
    // A binding for a controller that is not there drives nothing.
    drivingChanged();
}

void RowMarks::drivingChanged()
{
    // The binding that drives each output: its last held copy, found among
    // the rows of its key on that output. A row is marked only while its
    // output really runs at its value: the library sends a motor whose two
    // directions are both driven as stopped, and a controller that is not
    // there runs nothing.
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
        if (connectedForHints && !canWork(copy.controller, dimmedExtensions))
            continue;
        const KeyOutput *rows = findSlot(copy.keyCode, outputNumber(copy));
        for (int row = rows ? rows->first : -1; row >= 0; row = nextOfKeyOutput[row]) {
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
