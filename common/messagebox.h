// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMessageBox>
#include <QString>

// Runs the program's standard modal box: no parent, one OK button that also
// answers Escape, fixed size. The answer is of no interest to any caller.
void execMessageBox(const QString &title, const QString &text, QMessageBox::Icon icon);
