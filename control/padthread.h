// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <QtGlobal>

// What a pad did, as the pads' thread reports it.
struct PadEvent {
    enum class Kind { Added, Removed, Input };
    Kind kind = Kind::Input;
    // SDL's instance id: the same pad keeps it until it goes away.
    int pad = -1;
    // Input: the pad input's code (see padinputs.h) and its level, from 0 at
    // rest to pad::kFullLevel. `initial`: the state the pad was in when it
    // came, not a change.
    quint32 code = 0;
    int level = 0;
    bool initial = false;
    // Added: the pad's name.
    std::string name;
};

// Whether the key capabilities an input device reports (sysfs
// capabilities/key: hexadecimal words of the kernel's long, the most
// significant first) hold a joystick's or a game pad's buttons.
bool hasPadButtons(const std::string &keyCapabilities);

// Whether an input device that may be a game pad is plugged in (true where
// it cannot tell): SDL is loaded only then.
bool padPluggedIn();

// New input devices, watched from outside the pads' thread: `fd` becomes
// readable when a device file comes or changes; -1 where devices cannot be
// watched.
class InputDeviceWatch
{
public:
    InputDeviceWatch();
    ~InputDeviceWatch();
    InputDeviceWatch(const InputDeviceWatch &) = delete;
    InputDeviceWatch &operator=(const InputDeviceWatch &) = delete;

    // Reads away what `fd` has to say.
    void drain() const;

    const int fd;
};

// Owns SDL's game-controller interface on a thread of its own: no window,
// no audio, no signal handlers of SDL's. SDL is loaded only once an input
// device that may be a game pad is plugged in (the thread waits for new
// devices until then) or the pads are to be read now. It opens every pad
// SDL knows a mapping for and reports additions, removals and input
// changes in batches, on its own thread. SDL offers nothing to wait on, so
// the thread waits on the pads' own device files and wakes at once when one
// has input or goes away; a pad without such a file (SDL's virtual pads) is
// read every few milliseconds while an input of it is out of its rest and
// ten times a second otherwise, and SDL looks for new pads a few times a
// second.
class PadThread
{
public:
    using Report = std::function<void(std::vector<PadEvent> &&)>;

    // Starts the thread; `report` is called on it.
    explicit PadThread(Report report);
    // Stops and joins the thread and shuts SDL down.
    ~PadThread();
    PadThread(const PadThread &) = delete;
    PadThread &operator=(const PadThread &) = delete;

    // Looks for pads and reads them now, as a pad's device coming or having
    // input would make it (SDL's virtual pads have no device). Any thread.
    void wake();

    // What SDL sees, one line per joystick, or why SDL cannot be used, for
    // the command line; SDL is started and shut down on the calling thread.
    static std::vector<std::string> describePads();

private:
    struct Impl;
    void run();

    Report report;
    std::atomic<bool> stopping{false};
    Impl *impl;
    std::thread thread;
};
