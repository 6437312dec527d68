// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/keyboardguard.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <QWindow>

#include "app/processobjects.h"
#include "bindings/bindinglist.h"
#include "control/virtualkey.h"
#include "control/x11keyboard.h"

KeyboardGuard::KeyboardGuard(QWidget *mainWindow)
    : QObject(mainWindow)
    , mainWindow(mainWindow)
{
    trackKeysDown = x11keyboard::enableDetectableAutoRepeat();
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
        if (trackKeysDown && keycode != 0 && keysDown.contains(keycode)) {
            // A key that is already down: the server's auto-repeat, which now
            // comes without releases. Pass it on marked as what it is.
            QKeyEvent repeat(QEvent::KeyPress, event->key(), event->modifiers(), event->nativeScanCode(),
                             event->nativeVirtualKey(), event->nativeModifiers(), event->text(), true,
                             event->count());
            repeat.setTimestamp(event->timestamp());
            QCoreApplication::sendEvent(window, &repeat);
            return true;
        }
        if (trackKeysDown && keycode != 0)
            keysDown.insert(keycode);
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
}

void KeyboardGuard::focusWindowChanged(QWindow *window)
{
    if (window != mainWindow->windowHandle())
        stopHeldOutputs();
    // Keys let go while another program had the keyboard sent their
    // releases there. Only those are dropped: a key the server reports down
    // may have been pressed anew just now, its press still on its way here.
    QSet<quint32> down;
    if (trackKeysDown && window && x11keyboard::keysDown(down))
        keysDown.intersect(down);
}
