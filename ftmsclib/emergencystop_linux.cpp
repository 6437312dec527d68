// SPDX-License-Identifier: GPL-3.0-or-later
// The fatal signals on Linux: SIGSEGV, SIGBUS and SIGABRT, handled with
// sigaction and passed on to whatever handled them before.
#include "ftmsclib/emergencystop.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#include <signal.h>
#include <unistd.h>

#include "ftmsclib/fatalsignal.h"

namespace ftlib {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGABRT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

std::atomic<bool> installed{false};
struct sigaction previous[kSignalCount];

void handleFatalSignal(int signal, siginfo_t *info, void *context);

void passOn(int signal, const siginfo_t *info)
{
    int index = 0;
    while (index < kSignalCount && kSignals[index] != signal)
        ++index;
    struct sigaction current;
    // Reached through a handler installed after ours: it passes the signal on
    // itself, and its disposition must stay.
    if (index == kSignalCount || ::sigaction(signal, nullptr, &current) != 0 || !(current.sa_flags & SA_SIGINFO)
        || current.sa_sigaction != handleFatalSignal)
        return;
    ::sigaction(signal, &previous[index], nullptr);
    // A fault recurs by itself on return, with its own details for whatever
    // runs next; a signal that was sent (kill, abort) has to be sent again.
    // It stays blocked until this handler returns.
    if (!info || info->si_code <= 0 || signal == SIGABRT)
        ::raise(signal);
}

void handleFatalSignal(int signal, siginfo_t *info, void *)
{
    const int savedErrno = errno;
    stopOutputsDying();
    errno = savedErrno;
    passOn(signal, info);
}

} // namespace

long currentProcessId()
{
    return static_cast<long>(::getpid());
}

void pauseBriefly()
{
    const timespec pause{0, 200'000};
    ::nanosleep(&pause, nullptr);
}

void EmergencyStop::installHandlers()
{
    if (installed.exchange(true))
        return;
    struct sigaction action {};
    action.sa_sigaction = handleFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigfillset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
        // The previous disposition is known before ours can run.
        if (::sigaction(kSignals[i], nullptr, &previous[i]) != 0)
            continue;
        // An ignored signal does not end the process: the link must not be
        // cut behind the program's back.
        if (!(previous[i].sa_flags & SA_SIGINFO) && previous[i].sa_handler == SIG_IGN)
            continue;
        ::sigaction(kSignals[i], &action, nullptr);
    }
}

} // namespace ftlib
