// SPDX-License-Identifier: GPL-3.0-or-later
// The program's side of the guardians on Windows: the memory is a section
// of the page file, the watch an event, and each guardian a process that
// talks over a named pipe of its own (guardian_windows.h).
#include "ftmsclib/guardian.h"

#include <cwchar>
#include <new>
#include <string>

#include "ftmsclib/guardian_windows.h"
#include "ftmsclib/handle_windows.h"

namespace ftlib {

namespace {

// A guardian has this long to start (twice: the launcher, then itself) and
// connect before it counts as one that does not answer. Starting a process
// on a busy machine with a virus scanner takes a good part of a second.
constexpr std::chrono::milliseconds kConnectWithin{1500};
// The heartbeat's own limit (guarding.cpp), which a connecting guardian's
// question is dated back from.
constexpr std::chrono::milliseconds kAnswerWithin{300};

std::string errorText(DWORD error)
{
    char text[256];
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                               sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' || text[n - 1] == '.'))
        --n;
    return n > 0 ? std::string(text, n) + " (" + std::to_string(error) + ")" : "error " + std::to_string(error);
}

std::string utf8(const std::wstring &text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                              nullptr);
    return out;
}

std::wstring wide(const std::string &text)
{
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

bool isFile(const std::wstring &path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder of the module that holds this code (the library, or
// kavrik-txprobe), with its trailing backslash.
std::wstring moduleFolder()
{
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&guardianPath), &module))
        return {};
    std::wstring path(32768, L'\0');
    const DWORD size = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (size == 0 || size >= path.size())
        return {};
    path.resize(size);
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// An inheritable duplicate of one of this process's handles, for a
// guardian to inherit; `access` 0 keeps the original's.
HANDLE inheritable(HANDLE handle, DWORD access)
{
    HANDLE duplicate = nullptr;
    const HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, handle, self, &duplicate, access, TRUE, access ? 0 : DUPLICATE_SAME_ACCESS))
        return nullptr;
    return duplicate;
}

VOID CALLBACK forwardNews(PVOID watch, BOOLEAN)
{
    ::SetEvent(static_cast<HANDLE>(watch));
}

} // namespace

std::string guardianPath()
{
    const std::wstring folder = moduleFolder();
    if (folder.empty())
        return {};
    const std::wstring beside = folder + wide(kGuardianProgram) + L".exe";
    return isFile(beside) ? utf8(beside) : std::string();
}

bool GuardianMemory::create(std::string &why)
{
    release(true);
    const HANDLE mapping =
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(GuardianShared), nullptr);
    if (!mapping) {
        why = "shared memory: " + errorText(::GetLastError());
        return false;
    }
    void *view = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(GuardianShared));
    if (!view) {
        why = "shared memory: " + errorText(::GetLastError());
        ::CloseHandle(mapping);
        return false;
    }
    shared_ = new (view) GuardianShared;
    fd_ = descriptorOf(mapping);
    return true;
}

void GuardianMemory::release(bool unmap)
{
    if (shared_ && unmap) {
        shared_->~GuardianShared();
        ::UnmapViewOfFile(shared_);
    }
    if (fd_ != -1)
        ::CloseHandle(handleOf(fd_));
    shared_ = nullptr;
    fd_ = -1;
}

GuardianWatch::~GuardianWatch()
{
    if (fd_ != -1)
        ::CloseHandle(handleOf(fd_));
}

bool GuardianWatch::create(std::string &why)
{
    // Manual reset: the transfer loop's wait only looks at it, and
    // rearm() resets it before every guardian is read; news that comes after
    // sets it again, so none is lost between two guardians.
    if (fd_ == -1) {
        if (const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr))
            fd_ = descriptorOf(event);
    }
    if (fd_ == -1)
        why = "no event: " + errorText(::GetLastError());
    return fd_ != -1;
}

void GuardianWatch::rearm()
{
    if (fd_ != -1)
        ::ResetEvent(handleOf(fd_));
}

struct Guardian::System {
    enum class Stage { Connecting, Running, Dismissed };
    Stage stage = Stage::Connecting;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    // The pending connect or read: its event is auto-reset, and a wait of
    // the thread pool passes it on to the watch.
    OVERLAPPED readOp{};
    bool reading = false;
    char in = 0;
    HANDLE forward = nullptr;
    // The last write (a ping, "dismissed").
    OVERLAPPED writeOp{};
    bool writing = false;
    char out = 0;
    // The guardian itself, once it has connected.
    HANDLE process = nullptr;
    // The launcher, for the trace of one that never connects.
    HANDLE launcher = nullptr;

    ~System()
    {
        for (const HANDLE handle : {readOp.hEvent, writeOp.hEvent, process, launcher})
            if (handle)
                ::CloseHandle(handle);
        if (pipe != INVALID_HANDLE_VALUE)
            ::CloseHandle(pipe);
    }

    bool pending(OVERLAPPED &op, bool started) const { return started && !HasOverlappedIoCompleted(&op); }

    static void clear(OVERLAPPED &op)
    {
        const HANDLE event = op.hEvent;
        op = OVERLAPPED{};
        op.hEvent = event;
    }

    // Starts a write; true when it went or is on its way. One at a time: a
    // guardian that has not taken the last one is one that does not read.
    bool writeByte(char byte)
    {
        if (pending(writeOp, writing))
            return false;
        out = byte;
        clear(writeOp);
        writing = true;
        if (::WriteFile(pipe, &out, 1, nullptr, &writeOp))
            return true;
        writing = ::GetLastError() == ERROR_IO_PENDING;
        return writing;
    }

    bool startConnect()
    {
        clear(readOp);
        reading = ::ConnectNamedPipe(pipe, &readOp) || ::GetLastError() == ERROR_IO_PENDING;
        return reading;
    }

    // Whether a guardian is connected, without waiting for one: the
    // pending connect is cancelled (polled: the thread pool's wait may take
    // its event first), and one that came while none was pending counts.
    bool connectedNow()
    {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!reading && !startConnect())
                return ::GetLastError() == ERROR_PIPE_CONNECTED;
            ::CancelIoEx(pipe, &readOp);
            for (int i = 0; i < 1000 && !HasOverlappedIoCompleted(&readOp); ++i)
                ::Sleep(1);
            if (!HasOverlappedIoCompleted(&readOp))
                return false;
            reading = false;
            DWORD got = 0;
            if (::GetOverlappedResult(pipe, &readOp, &got, FALSE) || ::GetLastError() == ERROR_PIPE_CONNECTED)
                return true;
        }
        return false;
    }

    bool startRead()
    {
        clear(readOp);
        reading = ::ReadFile(pipe, &in, 1, nullptr, &readOp) || ::GetLastError() == ERROR_IO_PENDING;
        return reading;
    }

    // Cancels what is pending and waits until it has let go of this
    // structure; false if it never does (then the structure must stay).
    bool settle()
    {
        if (forward) {
            ::UnregisterWaitEx(forward, INVALID_HANDLE_VALUE);
            forward = nullptr;
        }
        if (pipe != INVALID_HANDLE_VALUE)
            ::CancelIoEx(pipe, nullptr);
        for (int i = 0; i < 1000 && (pending(readOp, reading) || pending(writeOp, writing)); ++i)
            ::Sleep(1);
        return !pending(readOp, reading) && !pending(writeOp, writing);
    }
};

namespace {

// The guardian's process, from the pipe's other end.
HANDLE clientProcess(HANDLE pipe, long &pid)
{
    ULONG client = 0;
    if (!::GetNamedPipeClientProcessId(pipe, &client) || client == 0)
        return nullptr;
    const HANDLE process =
        ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, client);
    if (process)
        pid = static_cast<long>(client);
    return process;
}

std::string exitText(HANDLE process)
{
    DWORD code = 0;
    if (::GetExitCodeProcess(process, &code))
        return "exited with " + std::to_string(code);
    return "ended";
}

// Waits for a guardian that is ending (it closed its pipe, or was told to
// end); one that does not must not keep the port open.
std::string reapProcess(HANDLE process)
{
    if (!process)
        return "ended before it connected";
    if (::WaitForSingleObject(process, 500) == WAIT_OBJECT_0)
        return exitText(process);
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, 500);
    return "stopped answering, killed";
}

} // namespace

bool Guardian::start(int portFd, int memoryFd, int watchFd, std::string &why)
{
    dismiss();
    const std::string program = guardianPath();
    if (program.empty()) {
        why = std::string("no ") + kGuardianProgram + ".exe beside the library";
        return false;
    }
    static std::atomic<unsigned> started{0};
    wchar_t name[128];
    std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\ftmsclib-guardian-%lu-%u-%llu",
                  static_cast<unsigned long>(::GetCurrentProcessId()), ++started,
                  static_cast<unsigned long long>(::GetTickCount64()));
    auto *system = new (std::nothrow) System;
    if (!system) {
        why = "out of memory";
        return false;
    }
    // First instance: nobody else can have made a pipe of that name for the
    // guardian to find instead.
    system->pipe = ::CreateNamedPipeW(name,
                                      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                      kGuardianPipeBuffer, kGuardianPipeBuffer, 0, nullptr);
    system->readOp.hEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    system->writeOp.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (system->pipe == INVALID_HANDLE_VALUE || !system->readOp.hEvent || !system->writeOp.hEvent) {
        why = "pipe: " + errorText(::GetLastError());
        delete system;
        return false;
    }
    const bool socket = ::GetFileType(handleOf(portFd)) != FILE_TYPE_CHAR;
    if (!system->startConnect()) {
        why = "pipe: " + errorText(::GetLastError());
        delete system;
        return false;
    }
    if (watchFd != -1
        && !::RegisterWaitForSingleObject(&system->forward, system->readOp.hEvent, forwardNews, handleOf(watchFd),
                                          INFINITE, WT_EXECUTEINWAITTHREAD)) {
        why = "watch: " + errorText(::GetLastError());
        if (system->settle())
            delete system;
        return false;
    }
    // What the guardian needs to write the zeros is in its hands as it is
    // created: if the program is ended before the guardian has even run,
    // it still finds the program gone and the port to write to.
    HANDLE infoWriting = nullptr;
    HANDLE given[3] = {inheritable(::GetCurrentProcess(), SYNCHRONIZE), nullptr, inheritable(handleOf(memoryFd), 0)};
    if (!socket)
        given[1] = inheritable(handleOf(portFd), 0);
    else if (!socketInfoPipe(given[1], infoWriting))
        given[1] = nullptr;
    DWORD error = 0;
    bool launched = false;
    if (given[0] && given[1] && given[2]) {
        const std::wstring guardian = wide(program);
        const std::wstring commandLine = L"\"" + guardian + L"\" " + kGuardianLaunch + L" "
            + std::to_wstring(descriptorOf(given[0])) + L" " + std::to_wstring(descriptorOf(given[1])) + L" "
            + std::to_wstring(descriptorOf(given[2])) + L" " + name + L" "
            + (socket ? kGuardianSocket : kGuardianComPort);
        const std::wstring folder = guardian.substr(0, guardian.find_last_of(L'\\') + 1);
        launched = startGuardianProcess(guardian, commandLine, folder.c_str(), {given[0], given[1], given[2]},
                                        &system->launcher, error);
    } else {
        error = ::GetLastError();
    }
    // The launcher has its own; these must not reach any other child.
    for (const HANDLE handle : given)
        if (handle)
            ::CloseHandle(handle);
    if (launched && socket && !sendSocket(socketOf(portFd), system->launcher, infoWriting)) {
        error = static_cast<DWORD>(::WSAGetLastError());
        ::TerminateProcess(system->launcher, 1);
        launched = false;
    } else if (infoWriting && !launched) {
        ::CloseHandle(infoWriting);
    }
    if (!launched) {
        why = "cannot start " + program + ": " + errorText(error);
        if (system->settle())
            delete system;
        return false;
    }
    system_ = system;
    // Until it connects, the pid is the launcher's.
    pid_ = static_cast<long>(::GetProcessId(system->launcher));
    socket_ = watchFd != -1 ? watchFd : descriptorOf(system->readOp.hEvent);
    watchFd_ = watchFd;
    // It counts as asked: one that does not connect in time is replaced
    // like one that does not answer.
    askedAt_ = Clock::now() + kConnectWithin - kAnswerWithin;
    return true;
}

bool Guardian::starting() const
{
    const System *system = system_;
    return system
        && (system->stage == System::Stage::Connecting
            || (system->launcher && ::WaitForSingleObject(system->launcher, 0) == WAIT_TIMEOUT));
}

void Guardian::closeSocket()
{
    System *system = system_;
    system_ = nullptr;
    socket_ = -1;
    // An operation that never lets go keeps its structure (and its pipe).
    if (system && system->settle())
        delete system;
}

Guardian::News Guardian::check(std::string &how)
{
    News news = News::None;
    System *system = system_;
    while (system && system->stage != System::Stage::Dismissed) {
        BOOL ok = FALSE;
        DWORD got = 0;
        if (!system->reading) {
            if (system->stage == System::Stage::Running) {
                if (!system->startRead())
                    break;
                continue;
            }
            // The connect again (see below): a guardian that came meanwhile
            // is connected already.
            if (system->startConnect())
                continue;
            ok = ::GetLastError() == ERROR_PIPE_CONNECTED;
        } else {
            if (!HasOverlappedIoCompleted(&system->readOp))
                return news;
            ok = ::GetOverlappedResult(system->pipe, &system->readOp, &got, FALSE);
            system->reading = false;
            // Windows cancels what a thread started when it ends (the
            // thread that started the first guardians, or a transfer
            // loop's): started again from this one.
            if (!ok && ::GetLastError() == ERROR_OPERATION_ABORTED)
                continue;
        }
        if (system->stage == System::Stage::Connecting) {
            if (!ok && ::GetLastError() != ERROR_PIPE_CONNECTED)
                break;
            system->process = clientProcess(system->pipe, pid_);
            if (!system->process)
                break;
            askedAt_ = {};
            system->stage = System::Stage::Running;
            // Its "ready" is read on the next wake, under its own pid.
            ::SetEvent(handleOf(socket_));
            return news;
        }
        if (!ok || got == 0)
            break;
        if (system->in == kGuardianReady)
            news = News::Ready;
        else if (system->in == kGuardianAnswer)
            askedAt_ = {};
    }
    if (!system || system->stage == System::Stage::Dismissed)
        return news;
    // Its end of the pipe closed: it has ended (killed, say), or is ending.
    how = reapProcess(system->process);
    closeSocket();
    pid_ = -1;
    askedAt_ = {};
    return News::Ended;
}

void Guardian::ping(Clock::time_point now)
{
    System *system = system_;
    if (!system || system->stage != System::Stage::Running || asked())
        return;
    if (system->writeByte(kGuardianPing))
        askedAt_ = now;
}

void Guardian::tellDismissed()
{
    System *system = system_;
    if (!system || system->stage == System::Stage::Dismissed)
        return;
    // One that connects just now hears it too; one that connects after the
    // pipe has gone ends by itself.
    if (system->stage == System::Stage::Connecting && system->connectedNow())
        system->process = clientProcess(system->pipe, pid_);
    if (system->process)
        system->writeByte(kGuardianDismissed);
    system->stage = System::Stage::Dismissed;
}

void Guardian::reap()
{
    // The pipe stays open until the guardian has read "dismissed" and ended.
    if (System *system = system_)
        reapProcess(system->process);
    closeSocket();
    pid_ = -1;
    askedAt_ = {};
}

void Guardian::dismiss()
{
    tellDismissed();
    reap();
}

void Guardian::kill(std::string &how)
{
    if (System *system = system_) {
        if (system->stage == System::Stage::Connecting) {
            tellDismissed();
            how = "did not connect in time, given up";
            // A launcher that could not even guard itself says why.
            DWORD code = STILL_ACTIVE;
            if (system->launcher && ::GetExitCodeProcess(system->launcher, &code) && code != STILL_ACTIVE
                && code != 0)
                how += " (its launcher failed with " + std::to_string(code) + ")";
        } else {
            how = "did not answer for a while (stopped?), killed";
        }
        // Dead before its pipe closes: a guardian that sees its pipe close
        // takes the program for gone.
        if (system->process) {
            ::TerminateProcess(system->process, 1);
            ::WaitForSingleObject(system->process, 500);
        }
    }
    closeSocket();
    pid_ = -1;
    askedAt_ = {};
}

} // namespace ftlib
