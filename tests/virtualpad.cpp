// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/virtualpad.h"

#include <SDL.h>

#include <QElapsedTimer>

#include "control/padinputs.h"

namespace {

struct VirtualControl {
    bool button = false;
    int number = 0;
    bool negative = false; // a stick's up or left
};

VirtualControl virtualControl(quint32 input)
{
    // The standard mapping of SDL's virtual game controller: buttons A, B,
    // X, Y, Back, Guide, Start, sticks, shoulders, D-pad; axes left X and Y,
    // right X and Y, left and right trigger.
    switch (input) {
    case pad::A: return {true, 0};
    case pad::B: return {true, 1};
    case pad::X: return {true, 2};
    case pad::Y: return {true, 3};
    case pad::View: return {true, 4};
    case pad::Menu: return {true, 6};
    case pad::LeftStickPress: return {true, 7};
    case pad::RightStickPress: return {true, 8};
    case pad::LeftShoulder: return {true, 9};
    case pad::RightShoulder: return {true, 10};
    case pad::DpadUp: return {true, 11};
    case pad::DpadDown: return {true, 12};
    case pad::DpadLeft: return {true, 13};
    case pad::DpadRight: return {true, 14};
    case pad::LeftStickLeft: return {false, 0, true};
    case pad::LeftStickRight: return {false, 0};
    case pad::LeftStickUp: return {false, 1, true};
    case pad::LeftStickDown: return {false, 1};
    case pad::RightStickLeft: return {false, 2, true};
    case pad::RightStickRight: return {false, 2};
    case pad::RightStickUp: return {false, 3, true};
    case pad::RightStickDown: return {false, 3};
    case pad::LeftTrigger: return {false, 4};
    case pad::RightTrigger: return {false, 5};
    default: return {true, -1};
    }
}

int axisValue(const VirtualControl &control, int percent)
{
    const int level = pad::kFullLevel * percent / 100;
    // The triggers' axes run the whole range, -32768 at rest.
    if (control.number >= SDL_CONTROLLER_AXIS_TRIGGERLEFT)
        return int(qint64(level) * 65535 / pad::kFullLevel - 32768);
    return control.negative ? -level : level;
}

} // namespace

VirtualPad::VirtualPad(const QList<quint32> &held)
{
    // Where the program started SDL, what it set stands, so that its
    // settings can be checked.
    if (!SDL_WasInit(SDL_INIT_GAMECONTROLLER))
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0)
        qFatal("SDL: %s", SDL_GetError());
    // The pads thread opens the pad only after this: what is held is held
    // as it comes.
    SDL_LockJoysticks();
    index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_GAMECONTROLLER, SDL_CONTROLLER_AXIS_MAX,
                                      SDL_CONTROLLER_BUTTON_DPAD_RIGHT + 1, 0);
    joystick = index < 0 ? nullptr : SDL_JoystickOpen(index);
    if (!joystick)
        qFatal("SDL virtual pad: %s", SDL_GetError());
    // A trigger at rest is at the bottom of its axis.
    setNow(pad::LeftTrigger, 0);
    setNow(pad::RightTrigger, 0);
    for (const quint32 input : held)
        setNow(input, 100);
    SDL_UnlockJoysticks();
}

VirtualPad::~VirtualPad()
{
    unplug();
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
}

void VirtualPad::change(quint32 input, int percent)
{
    SDL_LockJoysticks();
    setNow(input, percent);
    SDL_UnlockJoysticks();
}

void VirtualPad::set(quint32 input, int percent)
{
    change(input, percent);
    // A pad sends every change; SDL's virtual pad has only a state, which
    // the pads thread reads when it next looks. Until it has, another change
    // would hide this one.
    const VirtualControl control = virtualControl(input);
    const int wanted = control.button ? (percent > 0) : axisValue(control, percent);
    QElapsedTimer waited;
    waited.start();
    while ((control.button ? SDL_JoystickGetButton(joystick, control.number)
                           : SDL_JoystickGetAxis(joystick, control.number))
               != wanted
           && waited.elapsed() < 1000)
        SDL_Delay(1);
}

void VirtualPad::setNow(quint32 input, int percent)
{
    const VirtualControl control = virtualControl(input);
    if (!joystick || control.number < 0)
        return;
    if (control.button) {
        SDL_JoystickSetVirtualButton(joystick, control.number, percent > 0 ? SDL_PRESSED : SDL_RELEASED);
        return;
    }
    SDL_JoystickSetVirtualAxis(joystick, control.number, Sint16(axisValue(control, percent)));
}

void VirtualPad::unplug()
{
    if (!joystick)
        return;
    const SDL_JoystickID instance = SDL_JoystickInstanceID(joystick);
    SDL_LockJoysticks();
    SDL_JoystickClose(joystick);
    joystick = nullptr;
    SDL_JoystickDetachVirtual(index);
    // SDL lets a removed pad's inputs go before it says the pad is gone; a
    // pad's device file says so first. Without those releases only the
    // removal itself can stop what the pad drove.
    SDL_FilterEvents(
        [](void *gone, SDL_Event *event) -> int {
            const SDL_JoystickID pad = *static_cast<SDL_JoystickID *>(gone);
            switch (event->type) {
            case SDL_CONTROLLERBUTTONUP:
                return event->cbutton.which != pad;
            case SDL_CONTROLLERAXISMOTION:
                return event->caxis.which != pad;
            default:
                return 1;
            }
        },
        const_cast<SDL_JoystickID *>(&instance));
    SDL_UnlockJoysticks();
}
