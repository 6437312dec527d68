// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/keyboardguard.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPlatformSurfaceEvent>
#include <QWidget>
#include <QWindow>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "control/gamepads.h"
#include "control/heldkeys.h"
#include "control/virtualkey.h"

KeyboardGuard::KeyboardGuard(QWidget *mainWindow)
    : QObject(mainWindow)
    , mainWindow(mainWindow)
    , pads(new GamePads(mainWindow, this))
    , heldKeys(HeldKeys::start(mainWindow, [this] { stopHeldOutputs(); }, this))
{
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
        if (heldKeys && watched->isWindowType()
            && static_cast<QPlatformSurfaceEvent *>(event)->surfaceEventType()
                == QPlatformSurfaceEvent::SurfaceCreated)
            heldKeys->windowCreated(static_cast<QWindow *>(watched));
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
    if (event->type() == QEvent::KeyPress) {
        if (!heldKeys || !heldKeys->pressedAgain(event))
            return false;
        // A key that is already down: a repeat the toolkit took for a new
        // press, or a key held since before a window of the program had the
        // keyboard. Pass it on marked as a repeat.
        QKeyEvent repeat(QEvent::KeyPress, event->key(), event->modifiers(), event->nativeScanCode(),
                         event->nativeVirtualKey(), event->nativeModifiers(), event->text(), true, event->count());
        repeat.setTimestamp(event->timestamp());
        QCoreApplication::sendEvent(window, &repeat);
        return true;
    }

    if (heldKeys)
        heldKeys->released(event);
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

