// SPDX-License-Identifier: GPL-3.0-or-later
// Where pads have no device files to wait on: the pads' thread sleeps on a
// condition variable, and SDL is pumped at the period (SDL then notices
// pads coming and going itself).
#include "control/padwait.h"

#include <condition_variable>
#include <mutex>

#include "control/padthread.h"

bool padPluggedIn()
{
    return true; // no way to tell: ask SDL
}

InputDeviceWatch::InputDeviceWatch()
    : fd(-1)
{
}

InputDeviceWatch::~InputDeviceWatch() = default;

void InputDeviceWatch::drain() const
{
}

struct PadWait::Handles {
    std::mutex mutex;
    std::condition_variable woken;
    bool wakeRequested = false;
};

PadWait::PadWait()
    : handles(new Handles)
{
}

PadWait::~PadWait() = default;

void PadWait::wake()
{
    {
        std::lock_guard<std::mutex> lock(handles->mutex);
        handles->wakeRequested = true;
    }
    handles->woken.notify_one();
}

int PadWait::openPadFile(const char *)
{
    return -1;
}

void PadWait::closePadFile(int)
{
}

bool PadWait::wait(std::chrono::milliseconds period, const std::vector<int> &, std::vector<bool> &)
{
    std::unique_lock<std::mutex> lock(handles->mutex);
    const auto requested = [this] { return handles->wakeRequested; };
    const bool woken =
        period.count() < 0 ? (handles->woken.wait(lock, requested), true) : handles->woken.wait_for(lock, period, requested);
    handles->wakeRequested = false;
    return woken;
}
