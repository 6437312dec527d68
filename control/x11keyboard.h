// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <QSet>
#include <QtGlobal>

class QObject;
class QWindow;

// The parts of the X11 keyboard the toolkit does not offer. Outside X11
// (Wayland) every function reports that it could do nothing.
namespace x11keyboard {

// Asks the X server to stop sending a release before each auto-repeated
// press (XKB's per-client "detectable auto-repeat"), which the toolkit can
// mistake for a real release when it reads the two apart. Held keys then
// arrive as repeated presses only. False when not on X11 or not supported.
bool enableDetectableAutoRepeat();

// The X keycodes of the keys the server reports down right now, and whether
// it could be asked (one round trip).
bool keysDown(QSet<quint32> &keycodes);

// Asks the server to say which keys are down each time `window` gets the
// keyboard (KeymapNotify, right behind FocusIn, in order with the key events).
// One round trip; the toolkit does not ask for it itself.
void reportKeysAtFocus(QWindow *window);

// Asks the server for the raw key events of every keyboard (XInput 2.1 or
// later): each key going down or up, wherever the keyboard focus is, sent
// right ahead of the key event itself and with its time. The server's own
// auto-repeat makes none. False when the server has no such events.
bool reportRawKeys();

// What the X server says about the keyboard, taken from its events as they
// arrive, ahead of the toolkit's own handling of them.
struct Watch {
    // `window` (a native window id) lost the keyboard: the focus went to a
    // window that is not it, or another client grabbed the keyboard. The
    // toolkit tells the same only about 100 ms later, and not for grabs.
    std::function<void(quint32 window)> keyboardLost;
    // The keycodes down at the moment one of the program's windows got the
    // keyboard; their presses came before it and went elsewhere.
    std::function<void(const QSet<quint32> &keycodes)> keysAtFocus;
    // The keyboard or its mapping changed (another device typed, a layout
    // switch): the server may have let keys up without sending releases.
    std::function<void()> keyboardChanged;
    // A key went down or up on a keyboard (only after `reportRawKeys`);
    // `time` is the server's, as in the key event that may follow.
    std::function<void(quint32 keycode, quint32 time, bool pressed)> rawKey;
};

// Calls `watch` for the events above while `owner` lives. False when not
// on X11.
bool startWatch(QObject *owner, Watch watch);

} // namespace x11keyboard
