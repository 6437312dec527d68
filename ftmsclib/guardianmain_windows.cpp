// SPDX-License-Identifier: GPL-3.0-or-later
// ftmsclib-guardian.exe: started by the controller library for each running
// controller (see guardian.h, guardian_windows.h). It waits for the program
// to be gone and then writes the prepared all-zero exchange to the port,
// unless the program closed the controller in order, no output was driven,
// or the program's crash handler has written it already.
#include <cwchar>
#include <string>

#include "ftmsclib/guardian.h"
#include "ftmsclib/guardian_windows.h"
#include "ftmsclib/handle_windows.h"
#include "ftmsclib/lastwords.h"

#include <shellapi.h>

namespace {

using namespace ftlib;

bool number(const wchar_t *text, long long &value)
{
    wchar_t *end = nullptr;
    value = std::wcstoll(text, &end, 10);
    return end != text && *end == L'\0';
}

// Starts this program again with the same arguments but "launch", and ends:
// the guardian's parent is then gone, and "End process tree" (taskkill /T),
// which follows parents, does not reach it from the program.
int launch(int argc, wchar_t **argv)
{
    std::wstring self(32768, L'\0');
    const DWORD size = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (size == 0 || size >= self.size())
        return 1;
    self.resize(size);
    std::wstring commandLine = L"\"" + self + L"\"";
    for (int i = 2; i < argc; ++i)
        commandLine += std::wstring(L" ") + argv[i];
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    const DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
    std::wstring line = commandLine;
    BOOL ok = ::CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, FALSE, flags | CREATE_BREAKAWAY_FROM_JOB,
                               nullptr, nullptr, &startup, &started);
    if (!ok && ::GetLastError() == ERROR_ACCESS_DENIED) {
        line = commandLine;
        ok = ::CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                              &started);
    }
    if (!ok)
        return 1;
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return 0;
}

// Static: an operation left pending as the program goes must not write
// into a stack frame that has gone.
OVERLAPPED pipeOp{};
char pipeByte = 0;

// One transfer over the pipe within `waitMs`, given up early when the
// program ends.
bool pipeTransfer(HANDLE pipe, HANDLE program, bool writing, void *data, DWORD size, DWORD waitMs)
{
    const HANDLE event = pipeOp.hEvent;
    pipeOp = OVERLAPPED{};
    pipeOp.hEvent = event;
    DWORD done = 0;
    if (!(writing ? ::WriteFile(pipe, data, size, nullptr, &pipeOp) : ::ReadFile(pipe, data, size, nullptr, &pipeOp))
        && ::GetLastError() != ERROR_IO_PENDING)
        return false;
    const HANDLE both[2] = {pipeOp.hEvent, program};
    if (::WaitForMultipleObjects(2, both, FALSE, waitMs) != WAIT_OBJECT_0) {
        ::CancelIoEx(pipe, &pipeOp);
        ::GetOverlappedResult(pipe, &pipeOp, &done, TRUE);
        return false;
    }
    return ::GetOverlappedResult(pipe, &pipeOp, &done, FALSE) && done == size;
}

enum class End { ProgramGone, Dismissed };

// Returns once the program has ended, whichever way, or dismissed this
// process. Its process handle says when it has ended; its end of the pipe
// closing says so sooner (the handles go before the process is signalled).
End waitForTheEnd(HANDLE pipe, HANDLE program)
{
    for (;;) {
        const HANDLE event = pipeOp.hEvent;
        pipeOp = OVERLAPPED{};
        pipeOp.hEvent = event;
        if (!::ReadFile(pipe, &pipeByte, 1, nullptr, &pipeOp) && ::GetLastError() != ERROR_IO_PENDING)
            return End::ProgramGone;
        const HANDLE both[2] = {program, pipeOp.hEvent};
        const DWORD woken = ::WaitForMultipleObjects(2, both, FALSE, INFINITE);
        DWORD got = 0;
        if (woken != WAIT_OBJECT_0 + 1 || !::GetOverlappedResult(pipe, &pipeOp, &got, FALSE) || got == 0)
            return End::ProgramGone;
        if (pipeByte == kGuardianDismissed)
            return End::Dismissed;
        // The program's heartbeat: a stopped guardian would not answer, and
        // the program replaces one that does not.
        if (pipeByte == kGuardianPing) {
            char answer = kGuardianAnswer;
            pipeTransfer(pipe, program, true, &answer, 1, 100);
        }
    }
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv)
        return 1;
    if (argc == 7 && std::wcscmp(argv[1], kGuardianLaunch) == 0)
        return launch(argc, argv);
    long long pid = 0, port = 0, memory = 0;
    if (argc != 6 || !number(argv[1], pid) || !number(argv[2], port) || !number(argv[3], memory)
        || (argv[5][0] != kGuardianComPort && argv[5][0] != kGuardianSocket))
        return 1;
    const bool socket = argv[5][0] == kGuardianSocket;
    const HANDLE program = ::OpenProcess(SYNCHRONIZE | PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(pid));
    if (!program)
        return 1;
    const HANDLE self = ::GetCurrentProcess();
    // Memory laid out by another build of the library is not this one's to
    // write from: no "ready", and the program learns it is not guarded.
    HANDLE mapping = nullptr;
    if (!::DuplicateHandle(program, handleOf(static_cast<int>(memory)), self, &mapping, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return 1;
    void *view = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    ::CloseHandle(mapping);
    MEMORY_BASIC_INFORMATION region{};
    if (!view || ::VirtualQuery(view, &region, sizeof region) == 0 || region.RegionSize < sizeof(GuardianShared))
        return 1;
    auto *shared = static_cast<GuardianShared *>(view);
    if (shared->layout != kGuardianLayout)
        return 1;
    // The same open port as the program's: no second open, no sharing
    // conflict. A socket comes over the pipe instead.
    HANDLE comPort = INVALID_HANDLE_VALUE;
    if (!socket
        && !::DuplicateHandle(program, handleOf(static_cast<int>(port)), self, &comPort, 0, FALSE,
                              DUPLICATE_SAME_ACCESS))
        return 1;
    const HANDLE pipe = ::CreateFileW(argv[4], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    pipeOp.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pipe == INVALID_HANDLE_VALUE || !pipeOp.hEvent)
        return 1;
    int portFd = descriptorOf(comPort);
    if (socket) {
        WSADATA data;
        WSAPROTOCOL_INFOW info{};
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0
            || !pipeTransfer(pipe, program, false, &info, sizeof info, 2000))
            return 1;
        const SOCKET duplicate = ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                                              WSA_FLAG_OVERLAPPED);
        if (duplicate == INVALID_SOCKET)
            return 1;
        portFd = descriptorOf(duplicate);
    }
    // The program learns that it is guarded.
    char ready = kGuardianReady;
    if (!pipeTransfer(pipe, program, true, &ready, 1, 1000))
        return 1;

    const End end = waitForTheEnd(pipe, program);
    // An orderly close: the program still has the port and closes it itself.
    if (end == End::Dismissed || shared->dismissed.load())
        return 0;
    guardianLastWords(portFd, *shared);
    if (socket)
        ::closesocket(socketOf(portFd));
    else
        ::CloseHandle(comPort);
    return 0;
}
