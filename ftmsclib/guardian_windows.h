// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

#include "ftmsclib/handle_windows.h"

// How a guardian is started on Windows. It inherits exactly what it needs
// to write the zeros, so that it guards from the moment it exists, even if
// the program is gone before it has run a line: a handle to the program's
// process (SYNCHRONIZE), the port (the COM port's handle, or the socket) and
// the memory. Inherited handles keep their values, so the command line names
// them, and the named pipe it talks over:
//   ftmsclib-guardian.exe [launch] <program> <port> <memory> <pipe> <kind>
// With "launch" it only starts itself again without it, passing the same
// handles on, and ends, so that the guardian's parent is gone and "End
// process tree" does not reach it.
// A socket does not work where it is merely inherited (Wine says it is
// none): for kind kGuardianSocket <port> is the reading end of an anonymous
// pipe instead, over which the starter sends a WSAPROTOCOL_INFOW for the new
// process as soon as its CreateProcess has returned.
namespace ftlib {

constexpr const wchar_t *kGuardianLaunch = L"launch";
constexpr wchar_t kGuardianComPort = L'c';
constexpr wchar_t kGuardianSocket = L's';
// The named pipe's buffers: a few single bytes.
constexpr unsigned kGuardianPipeBuffer = 4096;

// Starts `program` with `commandLine`, letting it inherit `handles` (which
// must be inheritable) and nothing else, outside the caller's job where the
// job allows it: a job that kills its processes as it closes would take the
// guardian with the program. The process's handle in `process`, if asked
// for. False with `error` set when it could not be started.
inline bool startGuardianProcess(const std::wstring &program, const std::wstring &commandLine,
                                 const wchar_t *folder, const std::vector<HANDLE> &handles, HANDLE *process,
                                 DWORD &error)
{
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> buffer(size);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
    std::vector<HANDLE> inherited = handles;
    if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        error = ::GetLastError();
        return false;
    }
    if (!::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                     inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
        error = ::GetLastError();
        ::DeleteProcThreadAttributeList(attributes);
        return false;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = attributes;
    PROCESS_INFORMATION started{};
    const DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT;
    std::wstring line = commandLine;
    BOOL ok = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                               flags | CREATE_BREAKAWAY_FROM_JOB, nullptr, folder, &startup.StartupInfo, &started);
    // Refused: the job forbids leaving it; inside is better than none.
    if (!ok && ::GetLastError() == ERROR_ACCESS_DENIED) {
        line = commandLine;
        ok = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr, folder,
                              &startup.StartupInfo, &started);
    }
    if (!ok)
        error = ::GetLastError();
    ::DeleteProcThreadAttributeList(attributes);
    if (!ok)
        return false;
    ::CloseHandle(started.hThread);
    if (process)
        *process = started.hProcess;
    else
        ::CloseHandle(started.hProcess);
    return true;
}

// A pipe for a socket's protocol info: the reading end inheritable, the
// writing end not. False when there is none.
inline bool socketInfoPipe(HANDLE &reading, HANDLE &writing)
{
    if (!::CreatePipe(&reading, &writing, nullptr, sizeof(WSAPROTOCOL_INFOW) * 2))
        return false;
    if (::SetHandleInformation(reading, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        return true;
    ::CloseHandle(reading);
    ::CloseHandle(writing);
    return false;
}

// Gives `process` (just started, reading the other end) the socket, and
// closes `writing`.
inline bool sendSocket(SOCKET socket, HANDLE process, HANDLE writing)
{
    WSAPROTOCOL_INFOW info{};
    DWORD written = 0;
    const bool sent = ::WSADuplicateSocketW(socket, ::GetProcessId(process), &info) == 0
        && ::WriteFile(writing, &info, sizeof info, &written, nullptr) && written == sizeof info;
    ::CloseHandle(writing);
    return sent;
}

// The socket sent by the starter over `reading` (closed), once Winsock is
// started; INVALID_SOCKET when the starter ended first.
inline SOCKET receiveSocket(HANDLE reading)
{
    WSAPROTOCOL_INFOW info{};
    DWORD got = 0, total = 0;
    while (total < sizeof info
           && ::ReadFile(reading, reinterpret_cast<char *>(&info) + total, sizeof info - total, &got, nullptr)
           && got > 0)
        total += got;
    ::CloseHandle(reading);
    if (total != sizeof info)
        return INVALID_SOCKET;
    return ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

} // namespace ftlib
