// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/forminputs.h"

#include <QHash>
#include <QTableWidgetItem>

#include "bindings/bindinglist.h"
#include "common/fontfit.h"
#include "common/processobjects.h"
#include "controller/endswitches.h"
#include "ui_forminputs.h"

namespace {

constexpr int universalInputs = 8;
constexpr int counters = 4;
constexpr int rowsPerController = universalInputs + counters;

QString controllerName(int controller)
{
    return controller == 0 ? QStringLiteral("Master") : QStringLiteral("Extension %1").arg(controller);
}

// The bindings each end switch stops, by controller × 8 + input index.
QHash<int, QStringList> stoppedBindings()
{
    QHash<int, QStringList> stopped;
    const BindingList &list = bindingList();
    for (int r = 0; r < list.size(); ++r) {
        const KeyBinding &b = list.at(r);
        if (b.endSwitch < 1 || b.endSwitch > maxEndSwitch || b.controller < 0 || b.controller > maxExtensions)
            continue;
        const QString arrow = b.direction ? QStringLiteral("--->") : QStringLiteral("<---");
        stopped[b.controller * universalInputs + b.endSwitch - 1].append(
            QStringLiteral("%1 (M%2 %3)").arg(b.keyText).arg(b.motor + 1).arg(arrow));
    }
    return stopped;
}

} // namespace

FormInputs::FormInputs(EndSwitches *switches, QWidget *parent)
    : QWidget(parent)
    , switches(switches)
{
    // Shown beside the main window without taking the keyboard from it:
    // the keys that drive the motors go on arriving there.
    setWindowFlags(Qt::Window | Qt::WindowCloseButtonHint | Qt::WindowDoesNotAcceptFocus);
    setAttribute(Qt::WA_ShowWithoutActivating);
    ui = new Ui::FormInputs;
    ui->setupUi(this);
    ui->tableWidget->setColumnWidth(0, 90);
    ui->tableWidget->setColumnWidth(1, 40);
    ui->tableWidget->setColumnWidth(2, 90);
    connect(switches, &EndSwitches::inputsRead, this, &FormInputs::refresh);
}

FormInputs::~FormInputs()
{
    delete ui;
}

void FormInputs::showEvent(QShowEvent *event)
{
    if (!fontFitted) {
        fitFont(this);
        fontFitted = true;
    }
    switches->setWatched(true);
    refresh();
    QWidget::showEvent(event);
}

void FormInputs::hideEvent(QHideEvent *event)
{
    switches->setWatched(false);
    QWidget::hideEvent(event);
}

void FormInputs::setCell(int row, int column, const QString &text)
{
    QTableWidgetItem *item = ui->tableWidget->item(row, column);
    if (!item) {
        item = new QTableWidgetItem;
        ui->tableWidget->setItem(row, column, item);
    } else if (item->text() == text) {
        return;
    }
    item->setText(text);
    // A long list of stopped bindings reads whole in the tooltip.
    if (column == 3)
        item->setToolTip(text);
}

void FormInputs::refresh()
{
    QList<int> online;
    for (int c = 0; c < EndSwitches::controllers; ++c) {
        if (switches->inputs(c))
            online.append(c);
    }
    QTableWidget *table = ui->tableWidget;
    // Cells are set only where their text changes: this runs many times a
    // second, and nothing is drawn anew that did not change.
    if (table->rowCount() != online.size() * rowsPerController)
        table->setRowCount(online.size() * rowsPerController);
    ui->label->setVisible(online.isEmpty());
    const QHash<int, QStringList> stopped = stoppedBindings();
    int row = 0;
    for (int c : online) {
        const FtInputState &state = *switches->inputs(c);
        for (int n = 0; n < universalInputs; ++n, ++row) {
            setCell(row, 0, n == 0 ? controllerName(c) : QString());
            setCell(row, 1, QStringLiteral("I%1").arg(n + 1));
            const bool isSwitch = state.switches & (1u << n);
            setCell(row, 2,
                    !isSwitch ? QString::number(state.universal[n])
                              : state.closed & (1u << n) ? tr("замкнут") : tr("разомкнут"));
            setCell(row, 3, stopped.value(c * universalInputs + n).join(QStringLiteral(", ")));
        }
        for (int k = 0; k < counters; ++k, ++row) {
            setCell(row, 0, QString());
            setCell(row, 1, QStringLiteral("C%1").arg(k + 1));
            setCell(row, 2, QString::number(state.counter[k]));
            setCell(row, 3, QString());
        }
    }
}
