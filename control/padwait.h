// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <memory>
#include <vector>

// How the pads' thread waits for something to do: a wake from another
// thread, a new input device, input on a pad's own device file or its
// going away, or the end of a period. Where the platform offers nothing to
// wait on, only the wake and the period. One file per platform, chosen by
// the build; the thread that made it calls everything but wake().
class PadWait
{
public:
    PadWait();
    ~PadWait();
    PadWait(const PadWait &) = delete;
    PadWait &operator=(const PadWait &) = delete;

    // Ends the wait at once, or the next one. Any thread.
    void wake();
    // Opens a pad's device file (SDL's path for it, or nullptr) to wait on:
    // -1 where there is none.
    int openPadFile(const char *path);
    void closePadFile(int file);
    // Waits for at most `period` (negative: for ever). `gone[i]` is set for
    // each of `files` (-1: none) whose device went away. True when woken.
    bool wait(std::chrono::milliseconds period, const std::vector<int> &files, std::vector<bool> &gone);

private:
    struct Handles;
    std::unique_ptr<Handles> handles;
};
