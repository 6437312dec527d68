// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

class QKeyEvent;

// The key's Windows virtual-key code (A is 65, Backspace 8), the same
// whatever Shift and the keyboard layout say, on every platform. Bindings
// store it, so list files move between Windows and Linux unchanged.
quint32 virtualKeyCode(const QKeyEvent *event);
