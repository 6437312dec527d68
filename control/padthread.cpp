// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/padthread.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <sstream>

#include "control/padinputs.h"
#include "control/padwait.h"
#include "control/sdllibrary.h"

namespace {

using std::chrono::milliseconds;

// With no pad, or every pad watched through its device file: how often SDL
// looks for pads that came (it notices them only when pumped).
constexpr milliseconds searchPeriod{250};
// A pad without a device file to wait on (SDL's virtual pads) is pumped
// this often while it has an input out of its rest: its removal is noticed
// well within 20 ms...
constexpr milliseconds pumpPeriod{5};
// ...and this often at rest, when it drives nothing.
constexpr milliseconds restingPumpPeriod{100};

// A joystick's and a game pad's buttons, BTN_JOYSTICK to the end of
// BTN_GAMEPAD: what udev looks for to call a device a joystick.
constexpr unsigned firstPadButton = 0x120;
constexpr unsigned lastPadButton = 0x13f;

quint32 buttonInput(Uint8 button)
{
    switch (button) {
    case SDL_CONTROLLER_BUTTON_A: return pad::A;
    case SDL_CONTROLLER_BUTTON_B: return pad::B;
    case SDL_CONTROLLER_BUTTON_X: return pad::X;
    case SDL_CONTROLLER_BUTTON_Y: return pad::Y;
    case SDL_CONTROLLER_BUTTON_RIGHTSHOULDER: return pad::RightShoulder;
    case SDL_CONTROLLER_BUTTON_LEFTSHOULDER: return pad::LeftShoulder;
    case SDL_CONTROLLER_BUTTON_DPAD_UP: return pad::DpadUp;
    case SDL_CONTROLLER_BUTTON_DPAD_DOWN: return pad::DpadDown;
    case SDL_CONTROLLER_BUTTON_DPAD_LEFT: return pad::DpadLeft;
    case SDL_CONTROLLER_BUTTON_DPAD_RIGHT: return pad::DpadRight;
    case SDL_CONTROLLER_BUTTON_START: return pad::Menu;
    case SDL_CONTROLLER_BUTTON_BACK: return pad::View;
    case SDL_CONTROLLER_BUTTON_LEFTSTICK: return pad::LeftStickPress;
    case SDL_CONTROLLER_BUTTON_RIGHTSTICK: return pad::RightStickPress;
    default: return 0; // the guide button, paddles, touch pads: not bindable
    }
}

// A stick axis is two inputs, one per direction; up is negative on SDL's
// Y axes.
struct AxisInputs {
    quint32 negative = 0;
    quint32 positive = 0;
};

AxisInputs axisInputs(Uint8 axis)
{
    switch (axis) {
    case SDL_CONTROLLER_AXIS_LEFTX: return {pad::LeftStickLeft, pad::LeftStickRight};
    case SDL_CONTROLLER_AXIS_LEFTY: return {pad::LeftStickUp, pad::LeftStickDown};
    case SDL_CONTROLLER_AXIS_RIGHTX: return {pad::RightStickLeft, pad::RightStickRight};
    case SDL_CONTROLLER_AXIS_RIGHTY: return {pad::RightStickUp, pad::RightStickDown};
    case SDL_CONTROLLER_AXIS_TRIGGERLEFT: return {0, pad::LeftTrigger};
    case SDL_CONTROLLER_AXIS_TRIGGERRIGHT: return {0, pad::RightTrigger};
    default: return {};
    }
}

void addAxis(std::vector<PadEvent> &events, int instance, Uint8 axis, int value, bool initial)
{
    const AxisInputs inputs = axisInputs(axis);
    // -32768 is one step beyond the positive travel.
    const int negative = std::min(-std::min(value, 0), pad::kFullLevel);
    const int positive = std::max(value, 0);
    if (inputs.negative)
        events.push_back({PadEvent::Kind::Input, instance, inputs.negative, negative, initial, {}});
    if (inputs.positive)
        events.push_back({PadEvent::Kind::Input, instance, inputs.positive, positive, initial, {}});
}

} // namespace

struct PadThread::Impl {
    // Set once SDL is loaded and started.
    const SdlLibrary *sdl = nullptr;

    struct Pad {
        SDL_GameController *controller = nullptr;
        int instance = -1;
        // The pad's own device file, read only to learn when it has input
        // or is gone; -1 where there is none.
        int file = -1;
        // Its device file said it is gone; SDL may say so later.
        bool gone = false;
    };

    std::vector<Pad> pads;
    PadWait waiting;

    Pad *find(int instance)
    {
        const auto found =
            std::find_if(pads.begin(), pads.end(), [instance](const Pad &p) { return p.instance == instance; });
        return found == pads.end() ? nullptr : &*found;
    }

    void closeFile(Pad &pad)
    {
        waiting.closePadFile(pad.file);
        pad.file = -1;
    }

    void open(int deviceIndex, std::vector<PadEvent> &events)
    {
        SDL_GameController *controller = sdl->SDL_GameControllerOpen(deviceIndex);
        if (!controller)
            return;
        const int instance = sdl->SDL_JoystickInstanceID(sdl->SDL_GameControllerGetJoystick(controller));
        if (find(instance)) {
            // Announced twice (at start-up SDL may): one handle is enough.
            sdl->SDL_GameControllerClose(controller);
            return;
        }
        Pad pad;
        pad.controller = controller;
        pad.instance = instance;
        pad.file = waiting.openPadFile(sdl->SDL_GameControllerPath(controller));
        pads.push_back(pad);
        const char *name = sdl->SDL_GameControllerName(controller);
        events.push_back({PadEvent::Kind::Added, instance, 0, 0, false, name ? name : "Game pad"});
        // What is held as it comes is reported as such: it must not pass for
        // a fresh press. SDL reads a pad's state at its first update after
        // the open and would report it as presses then.
        sdl->SDL_GameControllerUpdate();
        for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b) {
            const quint32 code = buttonInput(Uint8(b));
            if (code && sdl->SDL_GameControllerGetButton(controller, SDL_GameControllerButton(b)))
                events.push_back({PadEvent::Kind::Input, instance, code, pad::kFullLevel, true, {}});
        }
        for (int a = 0; a < SDL_CONTROLLER_AXIS_MAX; ++a)
            addAxis(events, instance, Uint8(a), sdl->SDL_GameControllerGetAxis(controller, SDL_GameControllerAxis(a)), true);
    }

    void remove(int instance, std::vector<PadEvent> &events)
    {
        const auto found =
            std::find_if(pads.begin(), pads.end(), [instance](const Pad &p) { return p.instance == instance; });
        if (found == pads.end())
            return;
        if (!found->gone)
            events.push_back({PadEvent::Kind::Removed, instance, 0, 0, false, {}});
        closeFile(*found);
        sdl->SDL_GameControllerClose(found->controller);
        pads.erase(found);
    }

    void take(const SDL_Event &event, std::vector<PadEvent> &events)
    {
        switch (event.type) {
        case SDL_CONTROLLERDEVICEADDED:
            open(event.cdevice.which, events);
            break;
        case SDL_CONTROLLERDEVICEREMOVED:
            remove(event.cdevice.which, events);
            break;
        case SDL_CONTROLLERBUTTONDOWN:
        case SDL_CONTROLLERBUTTONUP: {
            const Pad *pad = find(event.cbutton.which);
            const quint32 code = buttonInput(event.cbutton.button);
            if (pad && !pad->gone && code)
                events.push_back({PadEvent::Kind::Input, pad->instance, code,
                                  event.cbutton.state == SDL_PRESSED ? pad::kFullLevel : 0, false, {}});
            break;
        }
        case SDL_CONTROLLERAXISMOTION: {
            const Pad *pad = find(event.caxis.which);
            if (pad && !pad->gone)
                addAxis(events, pad->instance, event.caxis.axis, event.caxis.value, false);
            break;
        }
        default:
            break;
        }
    }


    // A button down, or a stick or trigger out of its dead zone.
    bool anyHeld(const Pad &pad) const
    {
        for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b) {
            if (buttonInput(Uint8(b)) && sdl->SDL_GameControllerGetButton(pad.controller, SDL_GameControllerButton(b)))
                return true;
        }
        for (int a = 0; a < SDL_CONTROLLER_AXIS_MAX; ++a) {
            const int value = sdl->SDL_GameControllerGetAxis(pad.controller, SDL_GameControllerAxis(a));
            if (value > pad::kDeadZone || value < -pad::kDeadZone)
                return true;
        }
        return false;
    }

    // How long to wait for pads without a device file to tell when they
    // change; SDL looks for new pads at every pump.
    milliseconds pumpingPeriod() const
    {
        milliseconds period = searchPeriod;
        for (const Pad &pad : pads) {
            if (pad.file < 0 && !pad.gone)
                period = std::min(period, anyHeld(pad) ? pumpPeriod : restingPumpPeriod);
        }
        return period;
    }

    // Waits until a pad's file has input or is gone, a device comes, a
    // wake, or the period (without SDL: no period); a pad whose file is gone
    // is reported at once. True when woken.
    bool wait(std::vector<PadEvent> &events)
    {
        const milliseconds period = !sdl ? milliseconds(-1) : pumpingPeriod();
        std::vector<int> files;
        for (const Pad &pad : pads)
            files.push_back(pad.file);
        std::vector<bool> gone(files.size(), false);
        const bool woken = waiting.wait(period, files, gone);
        for (size_t i = 0; i < pads.size(); ++i) {
            if (!gone[i])
                continue;
            closeFile(pads[i]);
            pads[i].gone = true;
            events.push_back({PadEvent::Kind::Removed, pads[i].instance, 0, 0, false, {}});
        }
        return woken;
    }
};

PadThread::PadThread(Report report)
    : report(std::move(report))
    , impl(new Impl)
{
    thread = std::thread([this] { run(); });
}

PadThread::~PadThread()
{
    stopping = true;
    wake();
    thread.join();
    delete impl;
}

void PadThread::wake()
{
    impl->waiting.wake();
}

void PadThread::run()
{
    std::vector<PadEvent> events;
    SDL_Event batch[64];
    // Until a pad may be there, SDL is not loaded: a program without a pad
    // costs what it did before pads. Asked to read the pads, it looks anyway.
    bool woken = false;
    bool sdlFailed = false;
    while (!stopping && !impl->sdl) {
        if (!sdlFailed && (woken || padPluggedIn())) {
            std::string why;
            impl->sdl = SdlLibrary::start(why);
            // Without SDL the program works as it does without pads.
            sdlFailed = !impl->sdl;
        }
        if (!impl->sdl)
            woken = impl->wait(events);
    }
    const SdlLibrary *sdl = impl->sdl;
    while (!stopping) {
        sdl->SDL_PumpEvents();
        int taken;
        while ((taken = sdl->SDL_PeepEvents(batch, 64, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT)) > 0) {
            for (int i = 0; i < taken; ++i)
                impl->take(batch[i], events);
        }
        if (!events.empty()) {
            report(std::move(events));
            events.clear();
        }
        impl->wait(events);
    }
    for (Impl::Pad &pad : impl->pads) {
        impl->closeFile(pad);
        sdl->SDL_GameControllerClose(pad.controller);
    }
    impl->pads.clear();
    // Whoever else in the process uses SDL keeps it. SDL frees what it
    // keeps for a thread only for its own threads.
    if (sdl) {
        sdl->SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
        sdl->SDL_TLSCleanup();
    }
}

std::vector<std::string> PadThread::describePads()
{
    std::vector<std::string> lines;
    std::string why;
    const SdlLibrary *sdl = SdlLibrary::start(why);
    if (!sdl) {
        lines.push_back(why);
        return lines;
    }
    for (int i = 0; i < sdl->SDL_NumJoysticks(); ++i) {
        char guid[33];
        sdl->SDL_JoystickGetGUIDString(sdl->SDL_JoystickGetDeviceGUID(i), guid, sizeof guid);
        const char *name = sdl->SDL_JoystickNameForIndex(i);
        const char *path = sdl->SDL_JoystickPathForIndex(i);
        std::string line = std::string(name ? name : "?") + (path ? std::string(" (") + path + ")" : std::string());
        if (sdl->SDL_IsGameController(i)) {
            const char *mapped = sdl->SDL_GameControllerNameForIndex(i);
            line += std::string(": распознан") + (mapped ? std::string(" как ") + mapped : std::string());
        } else {
            line += ": не распознан, нужна строка для него в SDL_GAMECONTROLLERCONFIG";
        }
        line += ", GUID " + std::string(guid);
        lines.push_back(line);
    }
    sdl->SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    return lines;
}

bool hasPadButtons(const std::string &keyCapabilities)
{
    // Words of the kernel's long, the most significant first.
    constexpr unsigned bitsPerWord = sizeof(long) * 8;
    std::istringstream text(keyCapabilities);
    std::vector<std::uint64_t> words;
    std::string word;
    while (text >> word) {
        std::uint64_t value = 0;
        std::istringstream hex(word);
        if (!(hex >> std::hex >> value))
            return false;
        words.push_back(value);
    }
    for (unsigned bit = firstPadButton; bit <= lastPadButton; ++bit) {
        const size_t fromEnd = bit / bitsPerWord;
        if (fromEnd < words.size() && (words[words.size() - 1 - fromEnd] >> (bit % bitsPerWord)) & 1)
            return true;
    }
    return false;
}
