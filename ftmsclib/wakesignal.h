// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What wakes a transfer loop out of its wait on the port (an eventfd here:
// wakesignal_linux.cpp).
namespace ftlib {

// A descriptor that the transport's wait watches, readable once raised
// until drained. create() on the opening thread; raise() from any thread;
// drain() the loop's.
class WakeSignal {
public:
    WakeSignal() = default;
    ~WakeSignal();
    WakeSignal(const WakeSignal &) = delete;
    WakeSignal &operator=(const WakeSignal &) = delete;

    // False, with the system's error number in `sysError`, when there is
    // none to be had.
    bool create(int &sysError);
    int descriptor() const { return fd_; }
    // Never blocks; raising a raised signal changes nothing.
    void raise();
    void drain();

private:
    int fd_ = -1;
};

} // namespace ftlib
