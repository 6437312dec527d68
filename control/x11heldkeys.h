// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <QHash>
#include <QObject>
#include <QSet>

class QKeyEvent;
class QTimer;
class QWidget;
class QWindow;

// On X11, the keys the server has down, so that letting go of a key stops
// its motor even where the server's key events mislead: auto-repeat made
// reliable, a repeated press told from a new one, keys held since before the
// program had the keyboard kept from counting as pressed, and a release that
// never came noticed against the server's key state. Fed by the keyboard
// guard with the key events as the window system delivers them; lives on the
// GUI thread, and reads the server's own events there too.
class X11HeldKeys : public QObject
{
public:
    // Null where the server cannot make auto-repeat detectable (not X11):
    // the toolkit then marks repeats itself. `keyboardLost` is called as
    // soon as the server says the main window lost the keyboard.
    static X11HeldKeys *start(QWidget *mainWindow, std::function<void()> keyboardLost, QObject *parent);

    // A press from the window system: true when it is the server's
    // auto-repeat of a key that is down, or a key held since before a window
    // of the program had the keyboard, and must be passed on as a repeat.
    bool pressedAgain(const QKeyEvent *press);
    // A release from the window system.
    void released(quint32 keycode);
    // A window got its native window: the server is to say which keys are
    // down each time it gets the keyboard.
    void windowCreated(QWindow *window);

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
