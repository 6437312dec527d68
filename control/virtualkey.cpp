#include "virtualkey.h"

#include <QHash>
#include <QKeyEvent>

namespace {

#ifndef Q_OS_WIN

// Linux input event codes (the physical keys of a standard PC keyboard) and
// the Windows virtual-key codes of the same keys.
constexpr struct {
    quint16 evdev;
    quint16 vk;
} physicalKeys[] = {
    {1, 0x1B},    // Escape
    {2, '1'},  {3, '2'},  {4, '3'},  {5, '4'},  {6, '5'},
    {7, '6'},  {8, '7'},  {9, '8'},  {10, '9'}, {11, '0'},
    {12, 0xBD},   // - _
    {13, 0xBB},   // = +
    {14, 0x08},   // Backspace
    {15, 0x09},   // Tab
    {16, 'Q'}, {17, 'W'}, {18, 'E'}, {19, 'R'}, {20, 'T'},
    {21, 'Y'}, {22, 'U'}, {23, 'I'}, {24, 'O'}, {25, 'P'},
    {26, 0xDB},   // [ {
    {27, 0xDD},   // ] }
    {28, 0x0D},   // Enter
    {29, 0x11},   // left Ctrl
    {30, 'A'}, {31, 'S'}, {32, 'D'}, {33, 'F'}, {34, 'G'},
    {35, 'H'}, {36, 'J'}, {37, 'K'}, {38, 'L'},
    {39, 0xBA},   // ; :
    {40, 0xDE},   // ' "
    {41, 0xC0},   // ` ~
    {42, 0x10},   // left Shift
    {43, 0xDC},   // backslash |
    {44, 'Z'}, {45, 'X'}, {46, 'C'}, {47, 'V'}, {48, 'B'},
    {49, 'N'}, {50, 'M'},
    {51, 0xBC},   // , <
    {52, 0xBE},   // . >
    {53, 0xBF},   // / ?
    {54, 0x10},   // right Shift
    {55, 0x6A},   // keypad *
    {56, 0x12},   // left Alt
    {57, 0x20},   // Space
    {58, 0x14},   // Caps Lock
    {59, 0x70}, {60, 0x71}, {61, 0x72}, {62, 0x73}, {63, 0x74},
    {64, 0x75}, {65, 0x76}, {66, 0x77}, {67, 0x78}, {68, 0x79}, // F1 to F10
    {69, 0x90},   // Num Lock
    {70, 0x91},   // Scroll Lock
    {71, 0x67}, {72, 0x68}, {73, 0x69}, // keypad 7 8 9
    {74, 0x6D},   // keypad -
    {75, 0x64}, {76, 0x65}, {77, 0x66}, // keypad 4 5 6
    {78, 0x6B},   // keypad +
    {79, 0x61}, {80, 0x62}, {81, 0x63}, // keypad 1 2 3
    {82, 0x60},   // keypad 0
    {83, 0x6E},   // keypad .
    {86, 0xE2},   // the extra key of 102-key keyboards
    {87, 0x7A}, {88, 0x7B}, // F11 F12
    {96, 0x0D},   // keypad Enter
    {97, 0x11},   // right Ctrl
    {98, 0x6F},   // keypad /
    {99, 0x2C},   // Print Screen
    {100, 0x12},  // right Alt
    {102, 0x24},  // Home
    {103, 0x26},  // Up
    {104, 0x21},  // Page Up
    {105, 0x25},  // Left
    {106, 0x27},  // Right
    {107, 0x23},  // End
    {108, 0x28},  // Down
    {109, 0x22},  // Page Down
    {110, 0x2D},  // Insert
    {111, 0x2E},  // Delete
    {113, 0xAD}, {114, 0xAE}, {115, 0xAF}, // Mute, Volume down, Volume up
    {119, 0x13},  // Pause
    {125, 0x5B}, {126, 0x5C}, // left and right Windows keys
    {127, 0x5D},  // Menu
    {183, 0x7C}, {184, 0x7D}, {185, 0x7E}, {186, 0x7F}, {187, 0x80}, {188, 0x81},
    {189, 0x82}, {190, 0x83}, {191, 0x84}, {192, 0x85}, {193, 0x86}, {194, 0x87}, // F13 to F24
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

#endif

} // namespace

quint32 virtualKeyCode(const QKeyEvent *event)
{
#ifdef Q_OS_WIN
    return event->nativeVirtualKey();
#else
    if (const quint32 fromScan = fromScanCode(event->nativeScanCode()))
        return fromScan;
    // A physical key outside the standard keyboard: a code of its own, clear
    // of the virtual-key range.
    if (event->nativeScanCode() != 0 && event->key() == 0)
        return 0x10000u + event->nativeScanCode();
    return fromQtKey(event->key());
#endif
}
