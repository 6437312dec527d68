// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSet>
#include <QtGlobal>

// The parts of the X11 keyboard the toolkit does not offer. Outside X11
// (Wayland, Windows) every function reports that it could do nothing.
namespace x11keyboard {

// Asks the X server to stop sending a release before each auto-repeated
// press (XKB's per-client "detectable auto-repeat"), which the toolkit can
// mistake for a real release when it reads the two apart. Held keys then
// arrive as repeated presses only. False when not on X11 or not supported.
bool enableDetectableAutoRepeat();

// The X keycodes of the keys the server reports down right now, and whether
// it could be asked (one round trip).
bool keysDown(QSet<quint32> &keycodes);

} // namespace x11keyboard
