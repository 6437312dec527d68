// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/keyboardguard.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPlatformSurfaceEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "control/gamepads.h"
#include "control/virtualkey.h"
#include "control/x11keyboard.h"

namespace {

// A lost release stops its output within two of these and a round trip.
constexpr int heldCheckIntervalMs = 100;
constexpr int upReadsToRelease = 2;

} // namespace

KeyboardGuard::KeyboardGuard(QWidget *mainWindow)
    : QObject(mainWindow)
    , mainWindow(mainWindow)
    , pads(new GamePads(mainWindow, this))
{
    trackKeysDown = x11keyboard::enableDetectableAutoRepeat();
    if (trackKeysDown) {
        x11keyboard::Watch watch;
        watch.keyboardLost = [this](quint32 window) { keyboardLost(window); };
        watch.keysAtFocus = [this](const QSet<quint32> &keycodes) { keysAtFocus(keycodes); };
        watch.keyboardChanged = [this] { releaseKeysTheServerHasUp(); };
        watch.rawKey = [this](quint32 keycode, quint32 time, bool pressed) { rawKey(keycode, time, pressed); };
        x11keyboard::startWatch(this, std::move(watch));
        rawKeys = x11keyboard::reportRawKeys();
        for (QWindow *window : QGuiApplication::topLevelWindows())
            x11keyboard::reportKeysAtFocus(window);
        heldCheck = new QTimer(this);
        heldCheck->setInterval(heldCheckIntervalMs);
        connect(heldCheck, &QTimer::timeout, this, [this] {
            if (bindingList().held().isEmpty())
                heldCheck->stop();
            else
                releaseKeysTheServerHasUp();
        });
    }
    qApp->installEventFilter(this);
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &KeyboardGuard::focusWindowChanged);
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state != Qt::ApplicationActive)
            stopHeldOutputs();
    });
}

bool KeyboardGuard::alreadyHandled(const QKeyEvent *release) const
{
    return release == handledRelease && release->timestamp() == handledReleaseTime;
}

bool KeyboardGuard::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        // The window system hands each key event to a window first; the
        // toolkit then routes it to a widget, a popup or nowhere at all (a
        // window blocked by a modal box). Only here is every one seen once.
        if (watched->isWindowType())
            return keyFromWindowSystem(watched, static_cast<QKeyEvent *>(event));
        break;
    case QEvent::PlatformSurface:
        if (trackKeysDown && watched->isWindowType()
            && static_cast<QPlatformSurfaceEvent *>(event)->surfaceEventType()
                == QPlatformSurfaceEvent::SurfaceCreated)
            x11keyboard::reportKeysAtFocus(static_cast<QWindow *>(watched));
        break;
    case QEvent::Show:
        // An open popup takes the keyboard although the main window stays
        // active, so the releases of held keys would go to it.
        if (watched->isWidgetType() && static_cast<QWidget *>(watched)->windowType() == Qt::Popup)
            stopHeldOutputs();
        break;
    case QEvent::FocusOut:
    case QEvent::Hide:
        if (watched == mainWindow->windowHandle() || watched == mainWindow)
            stopHeldOutputs();
        break;
    case QEvent::ActivationChange:
        if (watched == mainWindow && !mainWindow->isActiveWindow())
            stopHeldOutputs();
        break;
    case QEvent::WindowStateChange:
        if (watched == mainWindow && mainWindow->isMinimized())
            stopHeldOutputs();
        break;
    default:
        break;
    }
    return false;
}

bool KeyboardGuard::keyFromWindowSystem(QObject *window, QKeyEvent *event)
{
    if (event->isAutoRepeat())
        return false;
    const quint32 keycode = event->nativeScanCode();
    if (event->type() == QEvent::KeyPress) {
        if (!trackKeysDown || keycode == 0)
            return false;
        auto down = keysDown.find(keycode);
        // A key held where the program could not see it go down counts as
        // held since before.
        if (down == keysDown.end() && !wentDownOnAKeyboard(keycode, event->timestamp()))
            down = keysDown.insert(keycode, KeyDown{});
        if (down != keysDown.end()) {
            // A key that is already down: the server's auto-repeat, which now
            // comes without releases, or a key held since before a window of
            // the program had the keyboard. Pass it on marked as a repeat.
            down->repeated = true;
            QKeyEvent repeat(QEvent::KeyPress, event->key(), event->modifiers(), event->nativeScanCode(),
                             event->nativeVirtualKey(), event->nativeModifiers(), event->text(), true,
                             event->count());
            repeat.setTimestamp(event->timestamp());
            QCoreApplication::sendEvent(window, &repeat);
            return true;
        }
        KeyDown pressed;
        pressed.virtualKey = virtualKeyCode(event);
        pressed.pressedHere = true;
        keysDown.insert(keycode, pressed);
        if (!heldCheck->isActive())
            heldCheck->start();
        return false;
    }

    keysDown.remove(keycode);
    bindingList().handleKey(virtualKeyCode(event), false);
    handledRelease = event;
    handledReleaseTime = event->timestamp();
    return false;
}

void KeyboardGuard::stopHeldOutputs()
{
    if (!bindingList().held().isEmpty())
        bindingList().releaseHeldBindings();
    pads->keyboardLost();
}

void KeyboardGuard::focusWindowChanged(QWindow *window)
{
    if (window != mainWindow->windowHandle())
        stopHeldOutputs();
}

void KeyboardGuard::keyboardLost(quint32 window)
{
    // The toolkit says so only after its own delay.
    const QWindow *main = mainWindow->windowHandle();
    if (main && main->handle() && window == main->winId())
        stopHeldOutputs();
}

void KeyboardGuard::keysAtFocus(const QSet<quint32> &keycodes)
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

void KeyboardGuard::rawKey(quint32 keycode, quint32 time, bool pressed)
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
bool KeyboardGuard::wentDownOnAKeyboard(quint32 keycode, quint64 time) const
{
    if (!rawKeys || time == 0)
        return true;
    const auto last = lastRawPress.constFind(keycode);
    return rawDown.contains(keycode) || (last != lastRawPress.constEnd() && *last == static_cast<quint32>(time));
}

void KeyboardGuard::releaseKeysTheServerHasUp()
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
void KeyboardGuard::releaseKey(quint32 keycode)
{
    const KeyDown key = keysDown.take(keycode);
    if (key.pressedHere)
        bindingList().handleKey(key.virtualKey, false);
}
