// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's key handlers: with the transfer area running, bound keys
// drive motors while they are held.
#include "app/mainwindow.h"

#include <QKeyEvent>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
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
