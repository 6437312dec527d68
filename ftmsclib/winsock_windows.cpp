// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/winsock_windows.h"

#include <winsock2.h>

namespace ftlib {

bool startWinsock(int &sysError)
{
    // A function's static is initialised once, the other threads waiting.
    static const int started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    sysError = started;
    return started == 0;
}

} // namespace ftlib
