// SPDX-License-Identifier: GPL-3.0-or-later
// Crashes on Windows: an exception nobody handles (the unhandled-exception
// filter, chained to the one found) and abort() (a SIGABRT handler: without
// one, a release C runtime ends the process past every filter). Each writes
// the zeros, then lets the crash go on as it would have. What skips both
// (__fastfail, RaiseFailFastException, TerminateProcess) is the guardians'.
#include "ftmsclib/emergencystop.h"

#include <atomic>
#include <csignal>

#include "ftmsclib/fatalsignal.h"
#include "ftmsclib/handle_windows.h"

namespace ftlib {

namespace {

using SignalHandler = void (*)(int);

std::atomic<bool> installed{false};
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
SignalHandler previousAbort = SIG_DFL;

// 0 nobody, 1 writing, 2 written.
std::atomic<int> stopping{0};

// The zeros once per process. A second thread that crashes meanwhile waits
// for them (bounded): its crash must not end the process under the first.
void stopOnce()
{
    int expected = 0;
    if (stopping.compare_exchange_strong(expected, 1)) {
        stopOutputsDying();
        stopping.store(2);
        return;
    }
    for (int i = 0; i < 1000 && stopping.load() == 1; ++i)
        ::Sleep(1);
}

LONG WINAPI unhandledException(EXCEPTION_POINTERS *exception)
{
    const DWORD lastError = ::GetLastError();
    stopOnce();
    ::SetLastError(lastError);
    return previousFilter ? previousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

void abortSignal(int signalNumber)
{
    stopOnce();
    // The C runtime has put SIG_DFL back before calling this; returning lets
    // abort() end the process.
    if (previousAbort != SIG_DFL && previousAbort != SIG_IGN && previousAbort != SIG_ERR)
        previousAbort(signalNumber);
}

} // namespace

long currentProcessId()
{
    return static_cast<long>(::GetCurrentProcessId());
}

void pauseBriefly()
{
    LARGE_INTEGER frequency, start, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    const LONGLONG ticks = frequency.QuadPart / 5000;
    do {
        ::Sleep(0);
        ::QueryPerformanceCounter(&now);
    } while (now.QuadPart - start.QuadPart < ticks);
}

void EmergencyStop::installHandlers()
{
    if (installed.exchange(true))
        return;
    // The handlers stay installed for the life of the process, so the code
    // they point to must never be unloaded (a FreeLibrary of the DLL).
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&unhandledException), &self);
    previousFilter = ::SetUnhandledExceptionFilter(unhandledException);
    const SignalHandler found = std::signal(SIGABRT, abortSignal);
    // An ignored abort() does not end the process: the link must not be cut
    // behind the program's back.
    if (found == SIG_IGN)
        std::signal(SIGABRT, SIG_IGN);
    else if (found != SIG_ERR)
        previousAbort = found;
}

} // namespace ftlib
