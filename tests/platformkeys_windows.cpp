// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/testsupport.h"

QKeyEvent platformKeyEvent(QEvent::Type type, int key, quint32, quint32, const QString &text,
                           Qt::KeyboardModifiers modifiers, bool autoRepeat)
{
    return QKeyEvent(type, key, modifiers, 0, 0, 0, text, autoRepeat);
}
