// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

class QKeyEvent;

// The key's Windows virtual-key code from what the platform itself says of
// the event (its physical key, or its own virtual key), or 0 where it says
// nothing (an event the program made): virtualKeyCode() then goes by the
// toolkit's key. One file per platform, chosen by the build.
quint32 nativeKeyCode(const QKeyEvent *event);
