// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QList>

#include "bindings/keybinding.h"

// For each output (controller × 8 + motor × 2 + direction), the copies of the
// bindings whose keys are held on it, oldest first.
using HeldBindings = QHash<qint32, QList<KeyBinding>>;

// Signed 32-bit arithmetic that wraps, as the output numbering is defined,
// for any numbers a list file brings in.
inline qint32 outputWithinController(const KeyBinding &binding)
{
    return static_cast<qint32>(static_cast<quint32>(binding.motor) * 2u + (binding.direction ? 1u : 0u));
}

inline qint32 outputNumber(const KeyBinding &binding)
{
    return static_cast<qint32>(static_cast<quint32>(binding.controller) * 8u
                               + static_cast<quint32>(outputWithinController(binding)));
}
