// SPDX-License-Identifier: GPL-3.0-or-later
// ftmsclib-guardian: started by the controller library for each open
// controller (see guardian.h). It waits for the program to be gone and then
// writes the prepared all-zero exchange to the port, unless the program
// closed the controller in order or no output was driven.
#include <cerrno>
#include <csignal>
#include <cstdint>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include "ftmsclib/guardian.h"

namespace {

// Whatever else the program left open (descriptors it did not mark
// close-on-exec) would stay open as long as this process does.
void closeTheRest()
{
    constexpr int first = ftlib::kGuardianMemoryFd + 1;
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

// Returns once nobody holds the other end of the pipe, which is when the
// program has ended, whichever way.
void waitForTheEnd()
{
    for (;;) {
        pollfd p{ftlib::kGuardianPipeFd, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno == EINTR)
            continue;
        char byte;
        const ssize_t n = ::read(ftlib::kGuardianPipeFd, &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        // The program writes nothing: anything but the end is ignored.
        if (n <= 0)
            return;
    }
}

} // namespace

int main()
{
    // The terminal's signals are for the program; this process ends when it
    // has done its one job.
    for (const int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGPIPE, SIGTSTP, SIGTTOU})
        std::signal(signalNumber, SIG_IGN);
    closeTheRest();
    void *mapped = ::mmap(nullptr, sizeof(ftlib::GuardianShared), PROT_READ, MAP_SHARED, ftlib::kGuardianMemoryFd, 0);
    ::close(ftlib::kGuardianMemoryFd);
    if (mapped == MAP_FAILED)
        return 1;
    const auto *shared = static_cast<const ftlib::GuardianShared *>(mapped);

    waitForTheEnd();
    // An orderly close: the program still has the port and closes it itself.
    if (shared->dismissed.load())
        return 0;
    std::uint8_t frame[ftlib::FrameCell::kCapacity];
    const std::size_t size = shared->live.load() && shared->driven.load() ? shared->zeros.read(frame) : 0;
    if (size > 0)
        ftlib::writePreparedFrame(ftlib::kGuardianPortFd, frame, size);
    // This process holds the port last: it must not stay exclusive. The
    // close lets the bytes leave first.
    ::ioctl(ftlib::kGuardianPortFd, TIOCNXCL);
    ::close(ftlib::kGuardianPortFd);
    return 0;
}
