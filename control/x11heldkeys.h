// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <QHash>
#include <QSet>

#include "control/heldkeys.h"

class QTimer;

// On X11, the keys the server has down, so that letting go of a key stops
// its motor even where the server's key events mislead: auto-repeat made
// reliable, a repeated press told from a new one, keys held since before the
// program had the keyboard kept from counting as pressed, and a release that
// never came noticed against the server's key state. Reads the server's own
// events on the GUI thread too.
class X11HeldKeys : public HeldKeys
{
public:
    // Null where the server cannot make auto-repeat detectable (not X11):
    // the toolkit then marks repeats itself.
    static X11HeldKeys *start(QWidget *mainWindow, std::function<void()> keyboardLost, QObject *parent);

    // The server's auto-repeat of a key that is down counts as pressed again.
    bool pressedAgain(const QKeyEvent *press) override;
    void released(const QKeyEvent *release) override;
    // The server is to say which keys are down each time the window gets
    // the keyboard.
    void windowCreated(QWindow *window) override;

private:
    // A key the X server has down, by keycode.
    struct KeyDown {
        quint32 virtualKey = 0;
        // Pressed while a window of the program had the keyboard; a key
        // held since before never reached the key control.
        bool pressedHere = false;
        // The server's key map runs ahead of the key events still on their
        // way here (a release already in the map, repeats from before it
        // still queued, which would then pass for a new press), so a key
        // counts as up only when two reads in a row say so and no repeat of
        // it came in between: by the second, every event from before the
        // first has been handled.
        int upReads = 0;
        bool repeated = false;
    };

    X11HeldKeys(QWidget *mainWindow, std::function<void()> keyboardLost, QObject *parent);
    void windowLostKeyboard(quint32 window);
    void keysAtFocus(const QSet<quint32> &keycodes);
    void rawKey(quint32 keycode, quint32 time, bool pressed);
    bool wentDownOnAKeyboard(quint32 keycode, quint64 time) const;
    void releaseKeysTheServerHasUp();
    void releaseKey(quint32 keycode);

    QWidget *mainWindow;
    std::function<void()> keyboardLost;
    // The keys that are down, so that a repeated press can be told from a
    // new one, and a release that never came can be noticed.
    QHash<quint32, KeyDown> keysDown;
    // With XInput 2's raw key events: the keys a keyboard has down since
    // the program last got the keyboard, and the time of each key's last
    // press. The server's own auto-repeat makes no raw events.
    bool rawKeys = false;
    QSet<quint32> rawDown;
    QHash<quint32, quint32> lastRawPress;
    // While bindings are held: a few times a second, the held keys against
    // the server's.
    QTimer *heldCheck;
};
