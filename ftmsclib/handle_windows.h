// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <cstdint>

// The library's seams carry a port, a wake-up or a watch as an int
// descriptor, -1 for none. On Windows they carry handles and sockets:
// Windows keeps their values within 32 bits (sign-extended), so that 32-
// and 64-bit processes can share them, and -1 is INVALID_HANDLE_VALUE and
// INVALID_SOCKET alike. What a descriptor is on Windows:
// - a transport's descriptor(): the COM port's handle (opened overlapped) or
//   the TCP socket;
// - a wait's wakeFd and watchFd: a waitable handle (an event), which the
//   wait does not reset; its owner does.
namespace ftlib {

inline HANDLE handleOf(int descriptor)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(descriptor));
}

inline SOCKET socketOf(int descriptor)
{
    return static_cast<SOCKET>(static_cast<std::intptr_t>(descriptor));
}

inline int descriptorOf(HANDLE handle)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

inline int descriptorOf(SOCKET socket)
{
    return static_cast<int>(static_cast<std::intptr_t>(socket));
}

} // namespace ftlib
