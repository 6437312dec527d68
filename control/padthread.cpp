// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/padthread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>

#ifdef __linux__
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>
#endif

#include "control/padinputs.h"
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

bool padPluggedIn()
{
#ifdef __linux__
    DIR *devices = ::opendir("/sys/class/input");
    if (!devices)
        return true; // no way to tell: ask SDL
    bool found = false;
    while (const dirent *entry = ::readdir(devices)) {
        if (std::string(entry->d_name).rfind("event", 0) != 0)
            continue;
        std::ifstream keys(std::string("/sys/class/input/") + entry->d_name + "/device/capabilities/key");
        std::string line;
        if (std::getline(keys, line) && hasPadButtons(line)) {
            found = true;
            break;
        }
    }
    ::closedir(devices);
    return found;
#else
    return true;
#endif
}

namespace {

int watchInputDevices()
{
#ifdef __linux__
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0 && ::inotify_add_watch(fd, "/dev/input", IN_CREATE | IN_ATTRIB) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
#else
    return -1;
#endif
}

} // namespace

InputDeviceWatch::InputDeviceWatch()
    : fd(watchInputDevices())
{
}

InputDeviceWatch::~InputDeviceWatch()
{
#ifdef __linux__
    if (fd >= 0)
        ::close(fd);
#endif
}

void InputDeviceWatch::drain() const
{
#ifdef __linux__
    char buffer[1024];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
#endif
}

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
#ifdef __linux__
    int wakeFd = -1;
    // New device files: a pad plugged in is looked for at once.
    int hotplugFd = -1;
#else
    std::mutex mutex;
    std::condition_variable woken;
    bool wakeRequested = false;
#endif

    Pad *find(int instance)
    {
        const auto found =
            std::find_if(pads.begin(), pads.end(), [instance](const Pad &p) { return p.instance == instance; });
        return found == pads.end() ? nullptr : &*found;
    }

    static void closeFile(Pad &pad)
    {
#ifdef __linux__
        if (pad.file >= 0)
            ::close(pad.file);
#endif
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
#ifdef __linux__
        if (const char *path = sdl->SDL_GameControllerPath(controller))
            pad.file = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
#endif
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

#ifdef __linux__
    // Reads what the file has (SDL reads the pad from a file of its own);
    // false when the device is gone.
    static bool drain(int fd)
    {
        char buffer[1024];
        ssize_t got;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
        }
        return !(got < 0 && errno == ENODEV);
    }
#endif

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
#ifdef __linux__
        std::vector<pollfd> watched;
        watched.push_back({wakeFd, POLLIN, 0});
        if (hotplugFd >= 0)
            watched.push_back({hotplugFd, POLLIN, 0});
        const size_t firstPad = watched.size();
        for (const Pad &pad : pads)
            watched.push_back({pad.file, POLLIN, 0}); // -1 is skipped by poll
        if (::poll(watched.data(), watched.size(), int(period.count())) <= 0)
            return false;
        for (size_t i = 0; i < firstPad; ++i) {
            if (watched[i].revents & POLLIN)
                drain(watched[i].fd);
        }
        const bool woken = watched[0].revents & POLLIN;
        for (size_t i = firstPad; i < watched.size(); ++i) {
            Pad &pad = pads[i - firstPad];
            if (pad.file < 0 || !watched[i].revents)
                continue;
            // An unplugged device's file says so before SDL learns of it
            // through udev.
            const bool hungUp = watched[i].revents & (POLLHUP | POLLERR | POLLNVAL);
            if (hungUp || !drain(pad.file)) {
                closeFile(pad);
                pad.gone = true;
                events.push_back({PadEvent::Kind::Removed, pad.instance, 0, 0, false, {}});
            }
        }
        return woken;
#else
        std::unique_lock<std::mutex> lock(mutex);
        const auto requested = [this] { return wakeRequested; };
        const bool woken = period.count() < 0 ? (this->woken.wait(lock, requested), true)
                                              : this->woken.wait_for(lock, period, requested);
        wakeRequested = false;
        (void)events;
        return woken;
#endif
    }
};

PadThread::PadThread(Report report)
    : report(std::move(report))
    , impl(new Impl)
{
#ifdef __linux__
    impl->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    impl->hotplugFd = watchInputDevices();
#endif
    thread = std::thread([this] { run(); });
}

PadThread::~PadThread()
{
    stopping = true;
    wake();
    thread.join();
#ifdef __linux__
    for (const int fd : {impl->wakeFd, impl->hotplugFd}) {
        if (fd >= 0)
            ::close(fd);
    }
#endif
    delete impl;
}

void PadThread::wake()
{
#ifdef __linux__
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(impl->wakeFd, &one, sizeof one);
#else
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->wakeRequested = true;
    }
    impl->woken.notify_one();
#endif
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
        Impl::closeFile(pad);
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
