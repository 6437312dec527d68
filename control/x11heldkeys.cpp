// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/x11heldkeys.h"

#include <utility>

#include <QGuiApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "control/virtualkey.h"
#include "control/x11keyboard.h"

namespace {

// A lost release stops its output within two of these and a round trip.
constexpr int heldCheckIntervalMs = 100;
constexpr int upReadsToRelease = 2;

} // namespace

HeldKeys *HeldKeys::start(QWidget *mainWindow, std::function<void()> keyboardLost, QObject *parent)
{
    return X11HeldKeys::start(mainWindow, std::move(keyboardLost), parent);
}

X11HeldKeys *X11HeldKeys::start(QWidget *mainWindow, std::function<void()> keyboardLost, QObject *parent)
{
    if (!x11keyboard::enableDetectableAutoRepeat())
        return nullptr;
    return new X11HeldKeys(mainWindow, std::move(keyboardLost), parent);
}

X11HeldKeys::X11HeldKeys(QWidget *mainWindow, std::function<void()> keyboardLost, QObject *parent)
    : HeldKeys(parent)
    , mainWindow(mainWindow)
    , keyboardLost(std::move(keyboardLost))
    , heldCheck(new QTimer(this))
{
    x11keyboard::Watch watch;
    watch.keyboardLost = [this](quint32 window) { windowLostKeyboard(window); };
    watch.keysAtFocus = [this](const QSet<quint32> &keycodes) { keysAtFocus(keycodes); };
    watch.keyboardChanged = [this] { releaseKeysTheServerHasUp(); };
    watch.rawKey = [this](quint32 keycode, quint32 time, bool pressed) { rawKey(keycode, time, pressed); };
    x11keyboard::startWatch(this, std::move(watch));
    rawKeys = x11keyboard::reportRawKeys();
    for (QWindow *window : QGuiApplication::topLevelWindows())
        x11keyboard::reportKeysAtFocus(window);
    heldCheck->setInterval(heldCheckIntervalMs);
    connect(heldCheck, &QTimer::timeout, this, [this] {
        if (bindingList().held().isEmpty())
            heldCheck->stop();
        else
            releaseKeysTheServerHasUp();
    });
}

bool X11HeldKeys::pressedAgain(const QKeyEvent *press)
{
    const quint32 keycode = press->nativeScanCode();
    if (keycode == 0)
        return false;
    auto down = keysDown.find(keycode);
    // A key held where the program could not see it go down counts as held
    // since before.
    if (down == keysDown.end() && !wentDownOnAKeyboard(keycode, press->timestamp()))
        down = keysDown.insert(keycode, KeyDown{});
    if (down != keysDown.end()) {
        down->repeated = true;
        return true;
    }
    KeyDown pressed;
    pressed.virtualKey = virtualKeyCode(press);
    pressed.pressedHere = true;
    keysDown.insert(keycode, pressed);
    if (!heldCheck->isActive())
        heldCheck->start();
    return false;
}

void X11HeldKeys::released(const QKeyEvent *release)
{
    keysDown.remove(release->nativeScanCode());
}

void X11HeldKeys::windowCreated(QWindow *window)
{
    x11keyboard::reportKeysAtFocus(window);
}

void X11HeldKeys::windowLostKeyboard(quint32 window)
{
    // The toolkit says so only after its own delay.
    const QWindow *main = mainWindow->windowHandle();
    if (main && main->handle() && window == main->winId())
        keyboardLost();
}

void X11HeldKeys::keysAtFocus(const QSet<quint32> &keycodes)
{
    // Keys can go up unseen while the program lacks the keyboard (XWayland
    // lets them up without raw events when another client takes it).
    rawDown.clear();
    // Keys let go while another window had the keyboard sent their releases
    // there...
    const QList<quint32> tracked = keysDown.keys();
    for (const quint32 keycode : tracked) {
        if (!keycodes.contains(keycode))
            releaseKey(keycode);
    }
    // ...and keys down now were pressed there: their repeats must not pass
    // for new presses here. A press after this point arrives behind it.
    for (const quint32 keycode : keycodes) {
        if (!keysDown.contains(keycode))
            keysDown.insert(keycode, KeyDown{});
    }
}

void X11HeldKeys::rawKey(quint32 keycode, quint32 time, bool pressed)
{
    if (pressed) {
        rawDown.insert(keycode);
        lastRawPress.insert(keycode, time);
    } else {
        rawDown.remove(keycode);
    }
}

// Whether a press the server sent for a key not down here is that key going
// down, or the server's auto-repeat of a key held where the program could
// not see it: under XWayland, in a window of a client that is not an X
// client, the server learns of the key only once a window of the program
// gets the keyboard (its key map then still shows the key up), and repeats
// it from its repeat delay on. A real press came with a raw one of the same
// time, or while the raw one says the key is down (a press the server holds
// back, as for slow keys). Key events made within the program carry no
// server time and are taken as they come.
bool X11HeldKeys::wentDownOnAKeyboard(quint32 keycode, quint64 time) const
{
    if (!rawKeys || time == 0)
        return true;
    const auto last = lastRawPress.constFind(keycode);
    return rawDown.contains(keycode) || (last != lastRawPress.constEnd() && *last == static_cast<quint32>(time));
}

void X11HeldKeys::releaseKeysTheServerHasUp()
{
    if (keysDown.isEmpty())
        return;
    QSet<quint32> down;
    if (!x11keyboard::keysDown(down))
        return;
    const QList<quint32> tracked = keysDown.keys();
    for (const quint32 keycode : tracked) {
        KeyDown &key = keysDown[keycode];
        // A repeat since the last read: this read starts the count again.
        key.upReads = down.contains(keycode) ? 0 : key.repeated ? 1 : key.upReads + 1;
        key.repeated = false;
        if (key.upReads >= upReadsToRelease)
            releaseKey(keycode);
    }
}

// As if the key's release had arrived. If it is still on its way, it will
// find nothing held and send nothing.
void X11HeldKeys::releaseKey(quint32 keycode)
{
    const KeyDown key = keysDown.take(keycode);
    if (key.pressedHere)
        bindingList().handleKey(key.virtualKey, false);
}
