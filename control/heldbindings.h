// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QList>

// Complete wherever the table is used: the binding list's header includes
// its header first.
struct KeyBinding;

// For each output (controller × 8 + motor × 2 + direction), the copies of the
// bindings whose keys are held on it, oldest first.
using HeldBindings = QHash<qint32, QList<KeyBinding>>;
