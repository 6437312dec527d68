// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMessageBox>
#include <QString>

// Runs the program's standard modal box: no parent, one OK button that also
// answers Escape, fixed size. `why`, when given, is the box's additional
// text under the fixed one: the reason as far as the program knows it. The
// answer is of no interest to any caller.
void execMessageBox(const QString &title, const QString &text, QMessageBox::Icon icon,
                    const QString &why = QString());

// Asks before changes would be lost: a standard question box without parent,
// "Сохранить", "Не сохранять" and "Отмена". The answer is
// QMessageBox::Save, QMessageBox::Discard or, also when the box is closed
// otherwise, QMessageBox::Cancel.
QMessageBox::StandardButton askToSave(const QString &text, const QString &why = QString());
