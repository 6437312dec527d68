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

// Owns SDL's game-controller interface on a thread of its own: no window,
// no audio, no signal handlers of SDL's. It opens every pad SDL knows a
// mapping for and reports additions, removals and input changes in
// batches, on its own thread. SDL offers nothing to wait on, so the thread
// waits on the pads' own device files and wakes at once when one has
// input or goes away; a pad without such a file (SDL's virtual pads) is
// pumped every few milliseconds, and with no pad the thread looks for new
// ones a few times a second.
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

    // Pumps now, as input on a pad's device file would (a virtual pad has
    // none). Any thread.
    void wake();

    // What SDL sees, one line per joystick, for the command line; SDL is
    // started and shut down on the calling thread.
    static std::vector<std::string> describePads();

private:
    struct Impl;
    void run();

    Report report;
    std::atomic<bool> stopping{false};
    Impl *impl;
    std::thread thread;
};
