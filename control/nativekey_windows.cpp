// SPDX-License-Identifier: GPL-3.0-or-later
// Windows: the message's own virtual-key code.
#include "control/nativekey.h"

#include <QKeyEvent>

quint32 nativeKeyCode(const QKeyEvent *event)
{
    return event->nativeVirtualKey();
}
