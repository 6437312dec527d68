// SPDX-License-Identifier: GPL-3.0-or-later
// Platforms without X11: the toolkit marks auto-repeat itself there, and a
// key held before a window had the keyboard sends it no presses.
#include "control/x11keyboard.h"

namespace x11keyboard {

bool enableDetectableAutoRepeat()
{
    return false;
}

bool keysDown(QSet<quint32> &keycodes)
{
    keycodes.clear();
    return false;
}

bool reportRawKeys()
{
    return false;
}

void reportKeysAtFocus(QWindow *)
{
}

bool startWatch(QObject *, Watch)
{
    return false;
}

} // namespace x11keyboard
