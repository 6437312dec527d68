// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include "bindings/keybinding.h"

// The n-th binding of a made-up list: every controller, motor, direction
// and speed in turn, keys A to Z.
inline KeyBinding sampleBinding(int n)
{
    KeyBinding b;
    b.keyText = QString(QChar('a' + n % 26));
    b.keyCode = 65 + n % 26;
    b.controller = n % 9;
    b.motor = n % 4;
    b.direction = n % 2;
    b.speed = 1 + n % 512;
    return b;
}
