// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/tracefile.h"

#include <cerrno>

#include "ftmsclib/handle_windows.h"
#include "ftmsclib/trace.h"

namespace ftlib {

namespace {

std::wstring widePath(const std::string &path)
{
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), &wide[0], size);
    return wide;
}

} // namespace

int openTraceFile(const std::string &path, int &sysError)
{
    // Appending only (each write goes to the end, whole), shared with the
    // other processes that trace to the same file, and not inherited.
    const HANDLE file = ::CreateFileW(widePath(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        sysError = static_cast<int>(::GetLastError());
        return -1;
    }
    sysError = 0;
    return descriptorOf(file);
}

void closeTraceFile(int fd)
{
    if (fd != -1)
        ::CloseHandle(handleOf(fd));
}

// Whole lines only, each in one WriteFile. Windows cannot ask a pipe
// whether it would take the line now: a program started without a console
// (the window) has no standard error at all and writes nothing, and a
// standard error that is a pipe nobody reads could hold the writer up,
// which is why the trace goes to a file there (KAVRIK_FTLIB_TRACE_FILE).
void writeTraceLine(int file, const std::string &line)
{
    const HANDLE out = file != -1 ? handleOf(file) : ::GetStdHandle(STD_ERROR_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return;
    const char *data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        DWORD n = 0;
        if (!::WriteFile(out, data, static_cast<DWORD>(left), &n, nullptr) || n == 0)
            return;
        data += n;
        left -= n;
    }
}

std::string systemErrorText(int sysError)
{
    // The shared code's own number for a port that took no bytes in time.
    if (sysError == ETIMEDOUT)
        return "timed out";
    // In English where Windows has it, as the rest of the trace.
    wchar_t text[256] = {};
    DWORD size = 0;
    for (const DWORD language : {static_cast<DWORD>(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)), DWORD{0}}) {
        size = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(sysError), language, text, 255, nullptr);
        if (size > 0)
            break;
    }
    char out[768] = {};
    if (size == 0
        || ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), out, sizeof out - 1, nullptr, nullptr) == 0)
        return "system error";
    std::string line(out);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' || line.back() == '.'))
        line.pop_back();
    return line;
}

long long traceClockUs()
{
    // Wine's counter is the host's monotonic clock, as the simulator's t_us.
    static const long long frequency = [] {
        LARGE_INTEGER f{};
        ::QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? f.QuadPart : 1;
    }();
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    const long long ticks = now.QuadPart;
    return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

} // namespace ftlib
