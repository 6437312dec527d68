// SPDX-License-Identifier: GPL-3.0-or-later
// The last words' system calls on Windows, for a dying process (the crash
// handler) and the guardian alike: no C runtime, no heap. The port is the
// COM port's handle, opened overlapped, or the TCP socket.
#include "ftmsclib/lastwords.h"

#include "ftmsclib/handle_windows.h"

namespace ftlib {

namespace {

bool isComPort(HANDLE handle)
{
    return ::GetFileType(handle) == FILE_TYPE_CHAR;
}

// One overlapped transfer on the COM port, given up after `waitMs`. The
// OVERLAPPED lives in pages of its own (VirtualAlloc takes no heap lock): an
// operation the driver does not even let cancel must not write into a
// stack frame that has gone, so such pages are left to it.
bool transferCom(HANDLE port, bool writing, std::uint8_t *data, DWORD size, DWORD waitMs, DWORD &done)
{
    done = 0;
    auto *overlapped =
        static_cast<OVERLAPPED *>(::VirtualAlloc(nullptr, sizeof(OVERLAPPED), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!overlapped)
        return false;
    overlapped->hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped->hEvent) {
        ::VirtualFree(overlapped, 0, MEM_RELEASE);
        return false;
    }
    const BOOL started = writing ? ::WriteFile(port, data, size, nullptr, overlapped)
                                 : ::ReadFile(port, data, size, nullptr, overlapped);
    if (!started && ::GetLastError() != ERROR_IO_PENDING) {
        ::CloseHandle(overlapped->hEvent);
        ::VirtualFree(overlapped, 0, MEM_RELEASE);
        return false;
    }
    if (::WaitForSingleObject(overlapped->hEvent, waitMs) != WAIT_OBJECT_0) {
        ::CancelIoEx(port, overlapped);
        // The cancel is itself asynchronous; a driver that never completes
        // keeps the pages (and the event) for good.
        if (::WaitForSingleObject(overlapped->hEvent, 100) != WAIT_OBJECT_0)
            return false;
    }
    DWORD transferred = 0;
    const BOOL ok = ::GetOverlappedResult(port, overlapped, &transferred, FALSE);
    done = transferred;
    ::CloseHandle(overlapped->hEvent);
    ::VirtualFree(overlapped, 0, MEM_RELEASE);
    return ok || done > 0;
}

// Waits until the socket is readable (or writable), at most `waitMs`.
bool socketReady(SOCKET socket, bool writing, long long waitMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval timeout{static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
    return ::select(0, writing ? nullptr : &set, writing ? &set : nullptr, nullptr, &timeout) > 0;
}

} // namespace

long long monotonicMs()
{
    return static_cast<long long>(::GetTickCount64());
}

bool writePreparedFrame(int fd, const std::uint8_t *data, std::size_t size)
{
    if (fd == -1)
        return false;
    const HANDLE handle = handleOf(fd);
    if (isComPort(handle)) {
        // About 50 ms in all, as on any other port.
        const long long giveUp = monotonicMs() + 50;
        while (size > 0) {
            const long long left = giveUp - monotonicMs();
            DWORD done = 0;
            if (left <= 0
                || !transferCom(handle, true, const_cast<std::uint8_t *>(data), static_cast<DWORD>(size),
                                static_cast<DWORD>(left), done)
                || done == 0)
                return false;
            data += done;
            size -= done;
        }
        return true;
    }
    const SOCKET socket = socketOf(fd);
    int waits = 0;
    while (size > 0) {
        const int n = ::send(socket, reinterpret_cast<const char *>(data), static_cast<int>(size), 0);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK && waits++ < 5) {
            socketReady(socket, true, 10);
        } else {
            return false;
        }
    }
    return true;
}

bool readExactly(int fd, std::uint8_t *out, std::size_t size, long long deadline)
{
    if (fd == -1)
        return false;
    std::uint8_t sink[64];
    const HANDLE handle = handleOf(fd);
    const bool com = isComPort(handle);
    while (size > 0) {
        std::uint8_t *into = out ? out : sink;
        const std::size_t want = out ? size : (size < sizeof sink ? size : sizeof sink);
        const long long left = deadline - monotonicMs();
        if (left <= 0)
            return false;
        std::size_t got = 0;
        if (com) {
            DWORD done = 0;
            if (!transferCom(handle, false, into, static_cast<DWORD>(want), static_cast<DWORD>(left), done))
                return false;
            got = done;
            // A port set to return at once with what is there.
            if (got == 0)
                ::Sleep(1);
        } else {
            if (!socketReady(socketOf(fd), false, left))
                continue;
            const int n = ::recv(socketOf(fd), reinterpret_cast<char *>(into), static_cast<int>(want), 0);
            // 0: the peer has gone.
            if (n == 0 || (n == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK))
                return false;
            got = n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        if (out)
            out += got;
        size -= got;
    }
    return true;
}

} // namespace ftlib
