// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's key handlers: with the transfer area running, bound keys
// drive motors while they are held.
#include "app/mainwindow.h"

#include <QKeyEvent>

#include "app/processobjects.h"
#include "bindings/bindinglist.h"
#include "control/keyboardguard.h"
#include "control/virtualkey.h"

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->isAutoRepeat())
        return;
    bindingList().handleKey(virtualKeyCode(event), true);
}

void MainWindow::keyReleaseEvent(QKeyEvent *event)
{
    // Releases from the window system have already been passed on by the
    // keyboard guard, which sees them wherever they go.
    if (event->isAutoRepeat() || keyboard->alreadyHandled(event))
        return;
    bindingList().handleKey(virtualKeyCode(event), false);
}

void MainWindow::changeEvent(QEvent *event)
{
    // Once the window is no longer active, the releases of keys held now go
    // elsewhere and would leave their motors running: stop them here.
    const bool lostKeyboard = (event->type() == QEvent::ActivationChange && !isActiveWindow())
        || (event->type() == QEvent::WindowStateChange && isMinimized());
    if (lostKeyboard && !bindingList().held().isEmpty())
        bindingList().releaseHeldBindings();
    QMainWindow::changeEvent(event);
}
