// SPDX-License-Identifier: GPL-3.0-or-later
// X11 and Wayland: the key is told by its physical key, the input event
// code the event carries as its scan code.
#include "control/nativekey.h"

#include <linux/input-event-codes.h>

#include <QHash>
#include <QKeyEvent>

namespace {

// Linux input event codes (the physical keys of a standard PC keyboard) and
// the Windows virtual-key codes of the same keys. The kernel's names keep
// the table honest: a misplaced number would not compile to the right key.
constexpr struct {
    quint16 evdev;
    quint16 vk;
} physicalKeys[] = {
    {KEY_ESC, 0x1B},
    {KEY_1, '1'},  {KEY_2, '2'},  {KEY_3, '3'},  {KEY_4, '4'},  {KEY_5, '5'},
    {KEY_6, '6'},  {KEY_7, '7'},  {KEY_8, '8'},  {KEY_9, '9'}, {KEY_0, '0'},
    {KEY_MINUS, 0xBD},   // - _
    {KEY_EQUAL, 0xBB},   // = +
    {KEY_BACKSPACE, 0x08},
    {KEY_TAB, 0x09},
    {KEY_Q, 'Q'}, {KEY_W, 'W'}, {KEY_E, 'E'}, {KEY_R, 'R'}, {KEY_T, 'T'},
    {KEY_Y, 'Y'}, {KEY_U, 'U'}, {KEY_I, 'I'}, {KEY_O, 'O'}, {KEY_P, 'P'},
    {KEY_LEFTBRACE, 0xDB},   // [ {
    {KEY_RIGHTBRACE, 0xDD},   // ] }
    {KEY_ENTER, 0x0D},
    {KEY_LEFTCTRL, 0x11},
    {KEY_A, 'A'}, {KEY_S, 'S'}, {KEY_D, 'D'}, {KEY_F, 'F'}, {KEY_G, 'G'},
    {KEY_H, 'H'}, {KEY_J, 'J'}, {KEY_K, 'K'}, {KEY_L, 'L'},
    {KEY_SEMICOLON, 0xBA},   // ; :
    {KEY_APOSTROPHE, 0xDE},   // ' "
    {KEY_GRAVE, 0xC0},   // ` ~
    {KEY_LEFTSHIFT, 0x10},
    {KEY_BACKSLASH, 0xDC},   // backslash |
    {KEY_Z, 'Z'}, {KEY_X, 'X'}, {KEY_C, 'C'}, {KEY_V, 'V'}, {KEY_B, 'B'},
    {KEY_N, 'N'}, {KEY_M, 'M'},
    {KEY_COMMA, 0xBC},   // , <
    {KEY_DOT, 0xBE},   // . >
    {KEY_SLASH, 0xBF},   // / ?
    {KEY_RIGHTSHIFT, 0x10},
    {KEY_KPASTERISK, 0x6A},
    {KEY_LEFTALT, 0x12},
    {KEY_SPACE, 0x20},
    {KEY_CAPSLOCK, 0x14},
    {KEY_F1, 0x70}, {KEY_F2, 0x71}, {KEY_F3, 0x72}, {KEY_F4, 0x73}, {KEY_F5, 0x74},
    {KEY_F6, 0x75}, {KEY_F7, 0x76}, {KEY_F8, 0x77}, {KEY_F9, 0x78}, {KEY_F10, 0x79},
    {KEY_NUMLOCK, 0x90},
    {KEY_SCROLLLOCK, 0x91},
    {KEY_KP7, 0x67}, {KEY_KP8, 0x68}, {KEY_KP9, 0x69},
    {KEY_KPMINUS, 0x6D},
    {KEY_KP4, 0x64}, {KEY_KP5, 0x65}, {KEY_KP6, 0x66},
    {KEY_KPPLUS, 0x6B},
    {KEY_KP1, 0x61}, {KEY_KP2, 0x62}, {KEY_KP3, 0x63},
    {KEY_KP0, 0x60},
    {KEY_KPDOT, 0x6E},
    {KEY_102ND, 0xE2},   // the extra key of 102-key keyboards
    {KEY_F11, 0x7A}, {KEY_F12, 0x7B},
    {KEY_KPENTER, 0x0D},
    {KEY_RIGHTCTRL, 0x11},
    {KEY_KPSLASH, 0x6F},
    {KEY_SYSRQ, 0x2C},   // Print Screen
    {KEY_RIGHTALT, 0x12},
    {KEY_HOME, 0x24},
    {KEY_UP, 0x26},
    {KEY_PAGEUP, 0x21},
    {KEY_LEFT, 0x25},
    {KEY_RIGHT, 0x27},
    {KEY_END, 0x23},
    {KEY_DOWN, 0x28},
    {KEY_PAGEDOWN, 0x22},
    {KEY_INSERT, 0x2D},
    {KEY_DELETE, 0x2E},
    {KEY_MUTE, 0xAD}, {KEY_VOLUMEDOWN, 0xAE}, {KEY_VOLUMEUP, 0xAF},
    {KEY_PAUSE, 0x13},
    {KEY_LEFTMETA, 0x5B}, {KEY_RIGHTMETA, 0x5C},
    {KEY_COMPOSE, 0x5D}, // the Menu key
    {KEY_F13, 0x7C}, {KEY_F14, 0x7D}, {KEY_F15, 0x7E}, {KEY_F16, 0x7F}, {KEY_F17, 0x80}, {KEY_F18, 0x81},
    {KEY_F19, 0x82}, {KEY_F20, 0x83}, {KEY_F21, 0x84}, {KEY_F22, 0x85}, {KEY_F23, 0x86}, {KEY_F24, 0x87}, // F13 to F24
};

// X11 and Wayland report the physical key as the input event code + 8.
constexpr quint32 xKeycodeOffset = 8;

quint32 fromScanCode(quint32 scanCode)
{
    static const QHash<quint32, quint32> table = [] {
        QHash<quint32, quint32> t;
        for (const auto &k : physicalKeys)
            t.insert(k.evdev + xKeycodeOffset, k.vk);
        return t;
    }();
    return table.value(scanCode, 0);
}

} // namespace

quint32 nativeKeyCode(const QKeyEvent *event)
{
    if (const quint32 fromScan = fromScanCode(event->nativeScanCode()))
        return fromScan;
    // A physical key outside the standard keyboard: a code of its own, clear
    // of the virtual-key range.
    if (event->nativeScanCode() != 0 && event->key() == 0)
        return 0x10000u + event->nativeScanCode();
    return 0;
}
