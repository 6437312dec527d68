// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <Qt>

class QFont;
class QTableWidget;

// The data role of a row's first cell that says its binding drives its
// output now; the whole row is drawn bold on a quiet background then.
constexpr int drivingRole = Qt::UserRole + 1;

// Gives the bindings table the delegate that draws the driving rows, and
// draws every cell in `cells`.
void installRowMarks(QTableWidget *table, const QFont &cells);
