// SPDX-License-Identifier: GPL-3.0-or-later
// CPU used by a running transfer loop while nothing changes; then by the
// program's whole process with the game pads' reading beside it, without a
// pad and with one that nobody touches.
#include <cstdio>
#include <cstdlib>
#include <optional>

#include <poll.h>
#include <sys/resource.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>

#include "bench/benchsupport.h"
#include "bench/simchild.h"
#include "control/gamepads.h"
#include "ftmsclib/ftmsclib.h"
#include "tests/virtualpad.h"

namespace {

double cpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
        + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process from /proc, in seconds.
double processCpuSeconds(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *f = std::fopen(path, "r");
    if (!f)
        return 0;
    unsigned long utime = 0, stime = 0;
    // Fields 14 and 15; the command name in parentheses holds no blanks here.
    const int n = std::fscanf(f, "%*d %*s %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    std::fclose(f);
    return n == 2 ? static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK)) : 0;
}

// The process's CPU share over `seconds` while its event loop runs.
double busyWhileIdle(int seconds)
{
    QEventLoop loop;
    const double cpu0 = cpuSeconds();
    const long long wall0 = monotonicUs();
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    return 100.0 * (cpuSeconds() - cpu0) / (static_cast<double>(monotonicUs() - wall0) / 1e6);
}

// With the pads' reading started: no pad (SDL is not even loaded), then
// one. SDL's virtual pad has no device file to wait on, so it is read ten
// times a second at rest: more than a real pad costs.
bool padsIdle(int seconds, double &noPad, double &onePad)
{
    QWidget window;
    GamePads pads(&window, nullptr);
    // Started, and SDL's first look taken.
    busyWhileIdle(1);
    noPad = busyWhileIdle(seconds);
    std::optional<VirtualPad> pad;
    pad.emplace();
    pads.readNow();
    if (!bench::handleEventsUntil([&] { return !pads.padNames().isEmpty(); }, 5000))
        return false;
    onePad = busyWhileIdle(seconds);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    SimChild sim;
    if (!sim.start()) {
        std::fprintf(stderr, "simulator did not start\n");
        return 1;
    }
    ftxInitLib();
    uint32_t err = 0;
    const FtHandle h = ftxOpenComDevice(sim.port.c_str(), 38400, &err);
    if (!h || ftxStartTransferArea(h) != FTLIB_ERR_SUCCESS || sim.waitFor("\"config\"", 2000) < 0) {
        std::fprintf(stderr, "open/start failed: 0x%08x\n", err);
        return 1;
    }
    const double cpu0 = cpuSeconds(), sim0 = processCpuSeconds(sim.pid());
    const long long wall0 = monotonicUs();
    ::poll(nullptr, 0, seconds * 1000);
    const double wall = static_cast<double>(monotonicUs() - wall0) / 1e6;
    const double cpu = cpuSeconds() - cpu0, simCpu = processCpuSeconds(sim.pid()) - sim0;
    double noPad = 0, onePad = 0;
    const bool padCame = padsIdle(seconds, noPad, onePad);
    const bool running = GetComStatus(h) == FTLIB_ERR_SUCCESS;
    ftxCloseDevice(h);
    ftxCloseLib();
    std::printf("idle transfer loop over %.1f s (100 exchanges/s):\n", wall);
    std::printf("  library : %.3f %% of one core (target <= 1 %%: %s)%s\n", 100.0 * cpu / wall,
                100.0 * cpu / wall <= 1.0 ? "met" : "MISSED", running ? "" : "  [link was lost!]");
    std::printf("  simulator (other side, for reference): %.3f %% of one core\n", 100.0 * simCpu / wall);
    std::printf("  with the pads read beside it, no pad : %.3f %% of one core\n", noPad);
    std::printf("  ... and one pad nobody touches        : %.3f %% of one core (target <= 1 %%: %s)%s\n", onePad,
                onePad <= 1.0 ? "met" : "MISSED", padCame ? "" : "  [the pad never came!]");
    bench::figure("idle_transfer_loop_cpu", 100.0 * cpu / wall, "%", 1.0);
    bench::figure("idle_with_one_pad_cpu", onePad, "%", 1.0);
    return running && padCame ? 0 : 1;
}
