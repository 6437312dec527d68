// SPDX-License-Identifier: GPL-3.0-or-later
// ftmsclib-guardian.exe: started by the controller library for each running
// controller (see guardian.h, guardian_windows.h). It waits for the program
// to be gone and then writes the prepared all-zero exchange to the port,
// unless the program closed the controller in order, no output was driven,
// or the program's crash handler has written it already.
#include <cwchar>
#include <string>
#include <vector>

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

// Starts this program again with the same arguments but "launch", passing
// the handles on, and ends: the guardian's parent is then gone, and "End
// process tree" (taskkill /T), which follows parents, does not reach it from
// the program. False when it could not.
bool launch(int argc, wchar_t **argv, HANDLE program, HANDLE port, HANDLE memory, bool socket)
{
    std::wstring self(32768, L'\0');
    const DWORD size = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (size == 0 || size >= self.size())
        return false;
    self.resize(size);
    // A socket goes on as this process got it, over a pipe of its own.
    HANDLE infoReading = port, infoWriting = nullptr;
    if (socket && !socketInfoPipe(infoReading, infoWriting))
        return false;
    std::wstring commandLine = L"\"" + self + L"\"";
    for (int i = 2; i < argc; ++i)
        commandLine += L" " + (i == 3 ? std::to_wstring(descriptorOf(infoReading)) : std::wstring(argv[i]));
    // Inherited handles stay inheritable; made sure of, as the list demands.
    for (const HANDLE handle : {program, infoReading, memory})
        ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    DWORD error = 0;
    HANDLE started = nullptr;
    bool ok = startGuardianProcess(self, commandLine, nullptr, {program, infoReading, memory}, &started, error);
    if (socket) {
        ::CloseHandle(infoReading);
        if (ok && !sendSocket(socketOf(descriptorOf(port)), started, infoWriting)) {
            ::TerminateProcess(started, 1);
            ok = false;
        } else if (!ok) {
            ::CloseHandle(infoWriting);
        }
    }
    if (started)
        ::CloseHandle(started);
    return ok;
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

enum class End { ProgramGone, Dismissed, PipeLost };

// Returns once the program has ended, whichever way, or dismissed this
// process, or the pipe failed (then the program may be gone, or have given
// this guardian up).
End waitForTheEnd(HANDLE pipe, HANDLE program)
{
    for (;;) {
        const HANDLE event = pipeOp.hEvent;
        pipeOp = OVERLAPPED{};
        pipeOp.hEvent = event;
        if (!::ReadFile(pipe, &pipeByte, 1, nullptr, &pipeOp) && ::GetLastError() != ERROR_IO_PENDING)
            return End::PipeLost;
        const HANDLE both[2] = {program, pipeOp.hEvent};
        const DWORD woken = ::WaitForMultipleObjects(2, both, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0)
            return End::ProgramGone;
        DWORD got = 0;
        if (woken != WAIT_OBJECT_0 + 1 || !::GetOverlappedResult(pipe, &pipeOp, &got, FALSE) || got == 0)
            return End::PipeLost;
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

// A pipe that cannot be connected or breaks: the program's handles close
// before its process is signalled, so it may be ending. Gone within a
// second: the zeros. Still there: it has given this guardian up (it
// replaces one that does not answer), and one that lingered would keep the
// port open.
bool programGoneSoon(HANDLE program)
{
    return ::WaitForSingleObject(program, 1000) == WAIT_OBJECT_0;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv)
        return 1;
    const bool launcher = argc == 7 && std::wcscmp(argv[1], kGuardianLaunch) == 0;
    wchar_t **args = launcher ? argv + 1 : argv;
    long long programValue = 0, portValue = 0, memoryValue = 0;
    if ((argc != 6 && !launcher) || !number(args[1], programValue) || !number(args[2], portValue)
        || !number(args[3], memoryValue) || (args[5][0] != kGuardianComPort && args[5][0] != kGuardianSocket))
        return 2;
    const HANDLE program = handleOf(static_cast<int>(programValue));
    const HANDLE memory = handleOf(static_cast<int>(memoryValue));
    const bool socket = args[5][0] == kGuardianSocket;
    HANDLE port = handleOf(static_cast<int>(portValue));
    WSADATA data;
    if (socket) {
        const SOCKET received = ::WSAStartup(MAKEWORD(2, 2), &data) == 0 ? receiveSocket(port) : INVALID_SOCKET;
        if (received == INVALID_SOCKET)
            return 4;
        port = reinterpret_cast<HANDLE>(received);
    }
    // One that cannot start the guardian guards itself instead: inside the
    // program's tree, but not leaving it unwatched.
    if (launcher && launch(argc, argv, program, port, memory, socket)) {
        if (socket)
            ::closesocket(socketOf(descriptorOf(port)));
        return 0;
    }

    // Memory laid out by another build of the library is not this one's to
    // write from: no "ready", and the program learns it is not guarded.
    void *view = ::MapViewOfFile(memory, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    ::CloseHandle(memory);
    MEMORY_BASIC_INFORMATION region{};
    if (!view || ::VirtualQuery(view, &region, sizeof region) == 0 || region.RegionSize < sizeof(GuardianShared))
        return 3;
    auto *shared = static_cast<GuardianShared *>(view);
    if (shared->layout != kGuardianLayout)
        return 3;
    // The same open port as the program's: no second open, no sharing
    // conflict.
    const int portFd = descriptorOf(port);
    auto lastWords = [&] {
        if (!shared->dismissed.load())
            guardianLastWords(portFd, *shared);
        if (socket)
            ::closesocket(socketOf(portFd));
        else
            ::CloseHandle(port);
        return 0;
    };
    auto pipeLost = [&] {
        if (shared->dismissed.load())
            return 0;
        return programGoneSoon(program) ? lastWords() : 5;
    };

    const HANDLE pipe = ::CreateFileW(args[4], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    pipeOp.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pipe == INVALID_HANDLE_VALUE || !pipeOp.hEvent)
        return pipeLost();
    // The program learns that it is guarded.
    char ready = kGuardianReady;
    if (!pipeTransfer(pipe, program, true, &ready, 1, 1000))
        return pipeLost();

    switch (waitForTheEnd(pipe, program)) {
    case End::Dismissed:
        // An orderly close: the program still has the port and closes it
        // itself.
        return 0;
    case End::PipeLost:
        return pipeLost();
    case End::ProgramGone:
        break;
    }
    return lastWords();
}
