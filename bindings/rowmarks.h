// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <vector>

#include <QHash>
#include <QIcon>
#include <QVariant>

#include "bindings/keybinding.h"
#include "controller/controllerkind.h"

class QFont;
class QTableWidget;
class QTableWidgetItem;

// The data role of a row's first cell that says its binding drives its
// output now; the whole row is drawn bold on a quiet background then.
constexpr int drivingRole = Qt::UserRole + 1;

// What the bindings table shows beside the list itself: which bindings drive
// their outputs right now, which cannot work on the connected controller,
// and which keys are bound twice to one output or both ways to one motor.
// Owns that state and the table's delegate that draws it. A cell asks for
// its tooltip, sign and colour when they are shown, so the table is never
// rebuilt for a mark and a rebuild sets none. Lives on the GUI thread with
// the table, which it is given and which outlives it.
class RowMarks
{
public:
    // Gives `table` the delegate that draws the marks, and every cell in `cells`.
    RowMarks(QTableWidget *table, const QFont &cells);
    ~RowMarks();
    RowMarks(const RowMarks &) = delete;
    RowMarks &operator=(const RowMarks &) = delete;

    // A cell of the table: made with `newCell`, it shows the marks of its row.
    static QTableWidgetItem *newCell(const QString &text);

    // The list changed; the table is rebuilt from it.
    void listChanged();
    // A binding started or stopped driving (the held keys changed).
    void drivingChanged();
    // Connected to a controller of `kind` that lacks the extensions in
    // `missingExtensions` (bit k-1 for extension k), or disconnected.
    void connectionChanged(bool connected, quint32 missingExtensions, const ControllerKind &kind);

    // The end switches that read closed now, bit n-1 for In, per controller
    // (all 0 when none is known).
    void switchesChanged(const std::array<quint32, maxExtensions + 1> &closed);
    // The row's binding is stopped at its end switch.
    bool stopped(int row) const;

    // What a cell shows for `role` beside its own data; invalid for none.
    QVariant cellMark(int row, int column, int role) const;

private:
    // The rows of one key on one output, in a table of open addressing.
    struct KeyOutput {
        qint32 keyCode = 0;
        qint32 output = 0;
        // The first of those rows and the last, -1 for a free slot.
        int first = -1;
        int last = -1;
    };

    KeyOutput *slotOf(qint32 keyCode, qint32 output);
    const KeyOutput *findSlot(qint32 keyCode, qint32 output) const;
    void markDriving(int row, bool driving);
    // The row's entry in `conflicts`, and what the key's cell says of it.
    int conflictOf(int row) const;
    QString conflictText(int row) const;

    QTableWidget *table;
    // Per row at the last rebuild: the next row of the same key on the same
    // output (-1 for none), and the row it is flagged for, times two, plus
    // one when flagged for the other direction of the motor (-1 for none).
    std::vector<KeyOutput> keyOutputs;
    std::vector<int> nextOfKeyOutput;
    std::vector<int> conflicts;
    // The row driving each output, and what the dimmed rows are dimmed for.
    QHash<qint32, int> drivingRows;
    quint32 dimmedExtensions = 0;
    std::array<quint32, maxExtensions + 1> closedSwitches{};
    bool connectedForHints = false;
    ControllerKind kindForHints;
    // One sign for all flagged rows, made when first needed.
    mutable QIcon conflictSign;
};
