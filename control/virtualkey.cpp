// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/virtualkey.h"

#include <QHash>
#include <QKeyEvent>

#include "control/nativekey.h"

namespace {

// For events without a physical key (synthetic ones): the same codes from
// the key the toolkit made of it.
quint32 fromQtKey(int key)
{
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9)
        || key == Qt::Key_Space)
        return static_cast<quint32>(key); // the toolkit uses the same numbers here
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return 0x70 + static_cast<quint32>(key - Qt::Key_F1);
    static const QHash<int, quint32> table = {
        {Qt::Key_Backspace, 0x08}, {Qt::Key_Tab, 0x09}, {Qt::Key_Backtab, 0x09},
        {Qt::Key_Return, 0x0D}, {Qt::Key_Enter, 0x0D}, {Qt::Key_Shift, 0x10},
        {Qt::Key_Control, 0x11}, {Qt::Key_Alt, 0x12}, {Qt::Key_AltGr, 0x12},
        {Qt::Key_Pause, 0x13}, {Qt::Key_CapsLock, 0x14}, {Qt::Key_Escape, 0x1B},
        {Qt::Key_PageUp, 0x21}, {Qt::Key_PageDown, 0x22}, {Qt::Key_End, 0x23},
        {Qt::Key_Home, 0x24}, {Qt::Key_Left, 0x25}, {Qt::Key_Up, 0x26},
        {Qt::Key_Right, 0x27}, {Qt::Key_Down, 0x28}, {Qt::Key_Print, 0x2C},
        {Qt::Key_Insert, 0x2D}, {Qt::Key_Delete, 0x2E}, {Qt::Key_Meta, 0x5B},
        {Qt::Key_Menu, 0x5D}, {Qt::Key_Asterisk, 0x6A}, {Qt::Key_NumLock, 0x90},
        {Qt::Key_ScrollLock, 0x91}, {Qt::Key_Semicolon, 0xBA}, {Qt::Key_Colon, 0xBA},
        {Qt::Key_Equal, 0xBB}, {Qt::Key_Plus, 0xBB}, {Qt::Key_Comma, 0xBC},
        {Qt::Key_Less, 0xBC}, {Qt::Key_Minus, 0xBD}, {Qt::Key_Underscore, 0xBD},
        {Qt::Key_Period, 0xBE}, {Qt::Key_Greater, 0xBE}, {Qt::Key_Slash, 0xBF},
        {Qt::Key_Question, 0xBF}, {Qt::Key_QuoteLeft, 0xC0}, {Qt::Key_AsciiTilde, 0xC0},
        {Qt::Key_BracketLeft, 0xDB}, {Qt::Key_BraceLeft, 0xDB}, {Qt::Key_Backslash, 0xDC},
        {Qt::Key_Bar, 0xDC}, {Qt::Key_BracketRight, 0xDD}, {Qt::Key_BraceRight, 0xDD},
        {Qt::Key_Apostrophe, 0xDE}, {Qt::Key_QuoteDbl, 0xDE},
    };
    // The toolkit's own numbers for special keys start at 0x01000000, far
    // from every virtual-key code, so an unknown key matches no other key.
    return table.value(key, static_cast<quint32>(key));
}

} // namespace

quint32 virtualKeyCode(const QKeyEvent *event)
{
    if (const quint32 native = nativeKeyCode(event))
        return native;
    return fromQtKey(event->key());
}
