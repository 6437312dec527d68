// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/testsupport.h"

QKeyEvent platformKeyEvent(QEvent::Type type, int key, quint32 scanCode, quint32 keysym, const QString &text,
                           Qt::KeyboardModifiers modifiers, bool autoRepeat)
{
    return QKeyEvent(type, key, modifiers, scanCode, keysym, 0, text, autoRepeat);
}
