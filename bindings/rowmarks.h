// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QIcon>
#include <QString>
#include <QVector>

class QFont;
class QTableWidget;
class QTableWidgetItem;

// The bindings table's columns: key, controller, motor, direction, speed.
constexpr int bindingColumns = 5;

// The data role of a row's first cell that says its binding drives its
// output now; the whole row is drawn bold on a quiet background then.
constexpr int drivingRole = Qt::UserRole + 1;

// What the bindings table shows beside the list itself: which bindings drive
// their outputs right now, which cannot work on the connected controller,
// and which keys are bound twice to one output or both ways to one motor.
// Owns that state and the table's delegate that draws it, and marks single
// rows: the table is never rebuilt for a mark. Lives on the GUI thread with
// the table, which it is given and which outlives it.
class RowMarks
{
public:
    // Gives `table` the delegate that draws the marks, and every cell in `cells`.
    RowMarks(QTableWidget *table, const QFont &cells);

    // The list changed and the table is being rebuilt from it: call this
    // first, then `markNewRow` for each new row before its cells go into the
    // table, then `drivingChanged`.
    void listChanged();
    void markNewRow(int row, QTableWidgetItem *const *items);
    // A binding started or stopped driving (the held keys changed).
    void drivingChanged();
    // Connected to a controller that lacks the extensions in
    // `missingExtensions` (bit k-1 for extension k), or disconnected.
    void connectionChanged(bool connected, quint32 missingExtensions);

private:
    void markRowHints(int row);
    void markDriving(int row, bool driving);
    void findConflicts();

    QTableWidget *table;
    // The rows of each key code, the row driving each output, why rows are
    // flagged, and what the dimmed rows were dimmed for.
    QHash<qint32, QVector<int>> rowsByKey;
    QHash<qint32, int> drivingRows;
    QHash<int, QString> rowConflicts;
    quint32 dimmedExtensions = 0;
    bool connectedForHints = false;
    // One sign for all flagged rows, made when first needed.
    QIcon conflictSign;
};
