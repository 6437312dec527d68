// SPDX-License-Identifier: GPL-3.0-or-later
// Drives one output through the controller library (or with "idle" only
// starts the transfer) and then returns from main without stopping or
// closing anything, as the program does at exit; or the test ends it with a
// signal while it waits. Told "fork", it forks a child that keeps all it
// inherited and waits to be killed, and says "child PID"; told "fork-exit",
// the child calls exit() at once (the library's exit handlers run in it),
// and the program says "child PID" once it has ended. Says why when the
// port does not open.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/ftlibapi.h"

int main(int argc, char **argv)
{
    if (argc != 3 && !(argc == 4 && std::strcmp(argv[3], "idle") == 0))
        return 2;
    const bool drive = argc == 3;
    // Deliberate deaths leave no core files behind.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    FtLibApi api;
    if (!api.load(argv[1]) || api.ftxInitLib() != FTLIB_ERR_SUCCESS)
        return 3;
    uint32_t status = 0;
    const FtHandle h = api.ftxOpenComDevice(argv[2], 38400, &status);
    if (!h) {
        // The test reads why (a port in use by another process, say).
        std::printf("open failed 0x%08x\n", status);
        return 4;
    }
    if (api.ftxStartTransferArea(h) != FTLIB_ERR_SUCCESS
        || (drive && api.SetOutPwmValues(h, 0, 0, 512) != FTLIB_ERR_SUCCESS))
        return 4;
    std::puts(drive ? "driving" : "idle");
    std::fflush(stdout);
    char line[16];
    // The test says when to leave, once it has seen the output driven.
    while (std::fgets(line, sizeof line, stdin)) {
        const bool exits = std::strcmp(line, "fork-exit\n") == 0;
        if (std::strcmp(line, "fork\n") != 0 && !exits)
            return 0;
        const pid_t child = ::fork();
        if (child == 0) {
            if (exits)
                std::exit(0);
            for (;;)
                ::pause();
        }
        if (exits)
            ::waitpid(child, nullptr, 0);
        std::printf("child %d\n", static_cast<int>(child));
        std::fflush(stdout);
    }
    return 5;
}
