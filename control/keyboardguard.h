// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QObject>
#include <QSet>

class GamePads;
class QKeyEvent;
class QTimer;
class QWidget;
class QWindow;

// Keeps the program's promise that letting go of a key stops its motor,
// wherever the keyboard is: it passes every key release that the window
// system delivers to any window of the program to the key control, stops
// every held output at each sign that keys may no longer reach the main
// window (a popup, another window or client taking the keyboard, the program
// turning inactive), and on X11 makes auto-repeat reliable, keeps keys held
// since before the program had the keyboard from counting as pressed, and
// checks held keys against the server's key state.
class KeyboardGuard : public QObject
{
    Q_OBJECT

public:
    explicit KeyboardGuard(QWidget *mainWindow);

    // True when this release already went to the key control on its way
    // from the window system, so the main window must not pass it again.
    bool alreadyHandled(const QKeyEvent *release) const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

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

    void stopHeldOutputs();
    void focusWindowChanged(QWindow *window);
    bool keyFromWindowSystem(QObject *window, QKeyEvent *event);
    void keyboardLost(quint32 window);
    void keysAtFocus(const QSet<quint32> &keycodes);
    void rawKey(quint32 keycode, quint32 time, bool pressed);
    bool wentDownOnAKeyboard(quint32 keycode, quint64 time) const;
    void releaseKeysTheServerHasUp();
    void releaseKey(quint32 keycode);

    QWidget *mainWindow;
    // Pads drive under the same rules as keys.
    GamePads *pads;
    // The last release passed on here, known by address and time stamp
    // while it travels on to a widget.
    const QKeyEvent *handledRelease = nullptr;
    quint64 handledReleaseTime = 0;
    // X11 with detectable auto-repeat: the keys that are down, so that a
    // repeated press can be told from a new one, and a release that never
    // came can be noticed.
    bool trackKeysDown = false;
    QHash<quint32, KeyDown> keysDown;
    // With XInput 2's raw key events: the keys a keyboard has down since
    // the program last got the keyboard, and the time of each key's last
    // press. The server's own auto-repeat makes no raw events.
    bool rawKeys = false;
    QSet<quint32> rawDown;
    QHash<quint32, quint32> lastRawPress;
    // While bindings are held: a few times a second, the held keys against
    // the server's.
    QTimer *heldCheck = nullptr;
};
