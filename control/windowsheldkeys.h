// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <QAbstractNativeEventFilter>
#include <QHash>

#include "control/heldkeys.h"

class QTimer;
class QWidget;

// On Windows, the keys Windows has down, where the toolkit's key events
// mislead: it takes a key that was down before a window of the program had
// the keyboard (or whose modifiers changed while it repeats) for a new
// press, and a key-up that Windows never delivers (a system overlay or
// another desktop took the keyboard, one of two Shift keys let go) leaves
// its key held. Reads the key and focus messages before the toolkit does,
// on the GUI thread.
class WindowsHeldKeys : public HeldKeys, public QAbstractNativeEventFilter
{
public:
    WindowsHeldKeys(QWidget *mainWindow, std::function<void()> keyboardLost, QObject *parent);
    ~WindowsHeldKeys() override;

    // A key whose key-down message says it was down before counts as
    // pressed again.
    bool pressedAgain(const QKeyEvent *press) override;
    void released(const QKeyEvent *release) override;
    void windowCreated(QWindow *) override {}

    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;

private:
    void releaseKeysWindowsHasUp();

    QWidget *mainWindow;
    std::function<void()> keyboardLost;
    // By virtual key: whether the key was already down at its latest
    // key-down message, until the toolkit's press for it comes.
    QHash<quint32, bool> downBefore;
    // The keys pressed while a window of the program had the keyboard, by
    // the message's virtual key, with the code the key control knows them by.
    QHash<quint32, quint32> pressedHere;
    // While bindings are held: a few times a second, the held keys against
    // Windows' own key state.
    QTimer *heldCheck;
};
