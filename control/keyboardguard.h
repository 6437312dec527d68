// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QSet>

class QKeyEvent;
class QWidget;
class QWindow;

// Keeps the program's promise that letting go of a key stops its motor,
// wherever the keyboard is: it passes every key release that the window
// system delivers to any window of the program to the key control, stops
// every held output at each sign that keys may no longer reach the main
// window (a popup, another window taking the focus, the program turning
// inactive), and on X11 makes auto-repeat reliable.
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
    // The last release passed on here, known by address and time stamp
    // while it travels on to a widget.
    const QKeyEvent *handledRelease = nullptr;
    quint64 handledReleaseTime = 0;
    // X11 with detectable auto-repeat: the keycodes that are down, so that a
    // repeated press can be told from a new one.
    bool trackKeysDown = false;
    QSet<quint32> keysDown;
};
