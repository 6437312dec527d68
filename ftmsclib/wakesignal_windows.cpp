// SPDX-License-Identifier: GPL-3.0-or-later
// The loop's wake-up on Windows: a manual-reset event, signalled by raise()
// until the loop drains it, as an eventfd stays readable until read.
#include "ftmsclib/wakesignal.h"

#include "ftmsclib/handle_windows.h"

namespace ftlib {

WakeSignal::~WakeSignal()
{
    if (fd_ != -1)
        ::CloseHandle(handleOf(fd_));
}

bool WakeSignal::create(int &sysError)
{
    // Not inherited: only the loop's wait watches it.
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    sysError = event ? 0 : static_cast<int>(::GetLastError());
    fd_ = event ? descriptorOf(event) : -1;
    return event != nullptr;
}

void WakeSignal::raise()
{
    if (fd_ != -1)
        ::SetEvent(handleOf(fd_));
}

void WakeSignal::drain()
{
    if (fd_ != -1)
        ::ResetEvent(handleOf(fd_));
}

} // namespace ftlib
