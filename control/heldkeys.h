// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <QObject>

class QKeyEvent;
class QWidget;
class QWindow;

// What the window system itself knows of the keys that are down, where the
// toolkit's key events fall short: a repeated press told from a new one, a
// key held since before the program had the keyboard kept from counting as
// pressed, and a release that never came noticed. Fed by the keyboard guard
// with the key events as the window system delivers them; lives on the GUI
// thread. One implementation per platform, chosen by the build.
class HeldKeys : public QObject
{
public:
    // Null where the platform offers nothing beyond the toolkit's events.
    // `keyboardLost` is called as soon as the window system says the main
    // window lost the keyboard, where it says so sooner than the toolkit.
    static HeldKeys *start(QWidget *mainWindow, std::function<void()> keyboardLost, QObject *parent);

    // A press from the window system that the toolkit did not mark as a
    // repeat: true when it is a repeat of a key that is down all the same,
    // or a key held since before a window of the program had the keyboard,
    // and must be passed on as a repeat.
    virtual bool pressedAgain(const QKeyEvent *press) = 0;
    // A release from the window system.
    virtual void released(const QKeyEvent *release) = 0;
    // A window got its native window.
    virtual void windowCreated(QWindow *window) = 0;

protected:
    using QObject::QObject;
};
