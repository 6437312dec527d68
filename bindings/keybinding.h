// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// A controller has up to this many extensions besides the Master.
constexpr qint32 maxExtensions = 8;
// A controller's universal inputs I1 to I8, any of which can be an end switch.
constexpr qint32 maxEndSwitch = 8;

// One key bound to one output of one controller, with direction and speed.
// Values are stored as given; a list file may bring in any numbers.
struct KeyBinding
{
    QString keyText;
    qint32 keyCode = 0;
    qint32 controller = 0; // 0 the Master, n Extension n (1 to maxExtensions)
    qint32 motor = 0;      // 0 to 3 for M1 to M4
    bool direction = false; // true is "-->"
    qint32 speed = 0;
    // The input of the same controller (1 to maxEndSwitch for I1 to I8) that
    // stops this binding while it reads closed; 0 for none. A list line may
    // bring anything else in, which the list file then refuses.
    qint32 endSwitch = 0;

    friend bool operator==(const KeyBinding &a, const KeyBinding &b)
    {
        return a.keyText == b.keyText && a.keyCode == b.keyCode && a.controller == b.controller
            && a.motor == b.motor && a.direction == b.direction && a.speed == b.speed
            && a.endSwitch == b.endSwitch;
    }
    friend bool operator!=(const KeyBinding &a, const KeyBinding &b) { return !(a == b); }
};

// The output a binding drives within its controller (motor × 2 + direction)
// and among all outputs (controller × 8 + that). Signed 32-bit arithmetic
// that wraps, as the numbering is defined, for any numbers a list file
// brings in.
inline qint32 outputWithinController(const KeyBinding &binding)
{
    return static_cast<qint32>(static_cast<quint32>(binding.motor) * 2u + (binding.direction ? 1u : 0u));
}

inline qint32 outputNumber(const KeyBinding &binding)
{
    return static_cast<qint32>(static_cast<quint32>(binding.controller) * 8u
                               + static_cast<quint32>(outputWithinController(binding)));
}
