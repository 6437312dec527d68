// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class GamePads;
class HeldKeys;
class QKeyEvent;
class QWidget;
class QWindow;

// Keeps the program's promise that letting go of a key stops its motor,
// wherever the keyboard is: it passes every key release that the window
// system delivers to any window of the program to the key control, and
// stops every held output, the game pads' included, at each sign that keys
// may no longer reach the main window (a popup, another window or client
// taking the keyboard, the program turning inactive). Where the platform
// knows more than the toolkit, it feeds the key events to HeldKeys, which
// tells a repeat from a press and notices releases that never came.
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
    void stopHeldOutputs();
    void focusWindowChanged(QWindow *window);
    bool keyFromWindowSystem(QObject *window, QKeyEvent *event);

    QWidget *mainWindow;
    // Pads drive under the same rules as keys.
    GamePads *pads;
    // The last release passed on here, known by address and time stamp
    // while it travels on to a widget.
    const QKeyEvent *handledRelease = nullptr;
    quint64 handledReleaseTime = 0;
    // The keys the window system has down; null where it tells no more
    // than the toolkit.
    HeldKeys *heldKeys;
};
