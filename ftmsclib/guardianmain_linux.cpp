// SPDX-License-Identifier: GPL-3.0-or-later
// ftmsclib-guardian: started by the controller library for each running
// controller (see guardian.h). It waits for the program to be gone and then
// writes the prepared all-zero exchange to the port, unless the program
// closed the controller in order, no output was driven, or the program's
// fatal-signal handler has written it already.
#include <cerrno>
#include <csignal>
#include <cstdint>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include "ftmsclib/guardian.h"
#include "ftmsclib/guardian_linux.h"
#include "ftmsclib/lastwords.h"

namespace {

// Whatever else the program left open (descriptors it did not mark
// close-on-exec) would stay open as long as this process does.
void closeTheRest()
{
    constexpr int first = ftlib::kGuardianProgramFd + 1;
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, first, ~0u, 0) == 0)
        return;
#endif
    rlimit limit{};
    int last = 4096;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < 65536)
        last = static_cast<int>(limit.rlim_cur);
    for (int fd = first; fd < last; ++fd)
        ::close(fd);
}

enum class End { ProgramGone, Dismissed };

// Returns once the program has ended, whichever way, or dismissed this
// process. The program's process descriptor says when it ends even while a
// child it forked holds its end of the socket; without one, the socket's
// closing does.
End waitForTheEnd(bool watchingProgram)
{
    bool socketOpen = true;
    for (;;) {
        pollfd p[2] = {{ftlib::kGuardianSocketFd, static_cast<short>(socketOpen ? POLLIN : 0), 0},
                       {ftlib::kGuardianProgramFd, POLLIN, 0}};
        if (::poll(p, watchingProgram ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return End::ProgramGone;
        }
        if (watchingProgram && p[1].revents)
            return End::ProgramGone;
        if (!socketOpen || !p[0].revents)
            continue;
        char byte;
        const ssize_t n = ::read(ftlib::kGuardianSocketFd, &byte, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n > 0 && byte == ftlib::kGuardianDismissed)
            return End::Dismissed;
        // The program's heartbeat: a stopped guardian would not answer, and
        // the program replaces one that does not.
        if (n > 0 && byte == ftlib::kGuardianPing)
            [[maybe_unused]] const ssize_t answered =
                ::send(ftlib::kGuardianSocketFd, &ftlib::kGuardianAnswer, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            continue;
        // Closed by every holder: the program is gone, or has replaced its
        // image (exec) and with it the library that drove the port.
        return End::ProgramGone;
    }
}

} // namespace

int main()
{
    // The terminal's signals are for the program; this process ends when it
    // has done its one job. So is SIGTERM: a logout or a service's stop
    // sends it to every process at once, and a program without a handler
    // of its own dies of it with its outputs driven; this one writes their
    // zeros then, and ends with the program (or at its orderly close).
    for (const int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
        std::signal(signalNumber, SIG_IGN);
    closeTheRest();
    // Memory laid out by another build of the library is not this one's to
    // write from: no "ready", and the program learns it is not guarded.
    struct stat memory {};
    if (::fstat(ftlib::kGuardianMemoryFd, &memory) != 0 || memory.st_size != sizeof(ftlib::GuardianShared))
        return 1;
    void *mapped = ::mmap(nullptr, sizeof(ftlib::GuardianShared), PROT_READ | PROT_WRITE, MAP_SHARED,
                          ftlib::kGuardianMemoryFd, 0);
    ::close(ftlib::kGuardianMemoryFd);
    if (mapped == MAP_FAILED)
        return 1;
    auto *shared = static_cast<ftlib::GuardianShared *>(mapped);
    if (shared->layout != ftlib::kGuardianLayout)
        return 1;
    const bool watchingProgram = ::fcntl(ftlib::kGuardianProgramFd, F_GETFD) >= 0;
    // The program learns that it is guarded.
    [[maybe_unused]] const ssize_t told = ::send(ftlib::kGuardianSocketFd, &ftlib::kGuardianReady, 1, MSG_NOSIGNAL);

    const End end = waitForTheEnd(watchingProgram);
    // An orderly close: the program still has the port and closes it itself.
    if (end == End::Dismissed || shared->dismissed.load())
        return 0;
    ftlib::guardianLastWords(ftlib::kGuardianPortFd, *shared);
    // This process holds the port last: it must not stay exclusive. The
    // close lets the bytes leave first.
    ::ioctl(ftlib::kGuardianPortFd, TIOCNXCL);
    ::close(ftlib::kGuardianPortFd);
    return 0;
}
