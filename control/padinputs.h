// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QEvent>
#include <QString>
#include <QtGlobal>

// Game-pad inputs as key codes: Windows' game-pad virtual keys 0xC3-0xDA,
// which no keyboard key uses, so a binding on a pad input is an ordinary
// binding and its list file opens anywhere. Sticks and triggers have a level
// (0 at rest to kPadFullLevel) and drive in proportion; buttons and the
// D-pad are either at rest or at the full level.
namespace pad {

enum Input : quint32 {
    A = 0xC3,
    B,
    X,
    Y,
    RightShoulder,
    LeftShoulder,
    LeftTrigger,
    RightTrigger,
    DpadUp,
    DpadDown,
    DpadLeft,
    DpadRight,
    Menu,
    View,
    LeftStickPress,
    RightStickPress,
    LeftStickUp,
    LeftStickDown,
    LeftStickRight,
    LeftStickLeft,
    RightStickUp,
    RightStickDown,
    RightStickRight,
    RightStickLeft,
};
constexpr quint32 kFirstInput = A;
constexpr quint32 kLastInput = RightStickLeft;
constexpr int kInputCount = kLastInput - kFirstInput + 1;

// A stick's or trigger's travel, as SDL reports it.
constexpr int kFullLevel = 32767;
// Below 15 % of the travel a stick counts as at rest (worn sticks drift
// to about 10 %); from 95 % on it drives at the binding's full speed.
constexpr int kDeadZone = kFullLevel * 15 / 100;
constexpr int kFullSpeedLevel = kFullLevel * 95 / 100;
// The editor's key field takes a stick or trigger moved this far.
constexpr int kCaptureLevel = kFullLevel / 2;

constexpr bool isPadInput(quint32 code) { return code >= kFirstInput && code <= kLastInput; }
// Sticks and triggers: their bindings drive in proportion to the level.
constexpr bool isProportional(quint32 code)
{
    return code == LeftTrigger || code == RightTrigger || (code >= LeftStickUp && code <= RightStickLeft);
}
// The key text a binding on the input gets ("Pad A", "Pad LS↑"); empty for
// any other code.
QString inputText(quint32 code);
// What a binding of `speed` sends at `level`: 0 in the dead zone, then
// rising linearly to `speed` at kFullSpeedLevel, and never a non-zero value
// below 1.
int proportionalDuty(int speed, int level);

} // namespace pad

// A pad input offered to the widget that has the keyboard focus while a
// window other than the main window has the keyboard (the editor's key
// field takes it as it takes a key); accepted when taken.
class PadInputEvent : public QEvent
{
public:
    PadInputEvent(quint32 code, const QString &padName);
    static QEvent::Type eventType();

    const quint32 code;
    // The name of the pad the input came from.
    const QString padName;
};
