// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>

class QTableWidget;

// The bindings table's cells keep their 9 points and the form's column
// widths; every text a cell can hold but a key's is readable in full in the
// font returned, a narrower family where the table's is too wide.
QFont fitBindingsCells(const QTableWidget *table);
