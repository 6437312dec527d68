// SPDX-License-Identifier: GPL-3.0-or-later
// How long opening a controller takes when it answers less or later than the
// simulator does by default, how long kavrik-txprobe needs for its report,
// and how long a port search takes on a machine without a TXT's network.
// `bench_open [RUNS [FIGURE]]`: FIGURE names the one figure to measure.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/benchsupport.h"
#include "bench/simchild.h"
#include "ftmsclib/ftmsclib.h"
#include "rendezvous/portfailure.h"

namespace {

struct Case {
    const char *name;
    std::vector<const char *> args;
    // The open is meant to succeed; the others must fail within the bound.
    bool opens;
    // Through a link named like a Bluetooth port, so with Bluetooth timing.
    bool bluetooth;
    double targetMs;
    // A muted device that starts answering this much after the open began
    // (a Bluetooth link that forms late); 0: as started.
    int unmuteAfterMs = 0;
};

// Slowest of `runs` opens, in milliseconds, whether they succeeded or not;
// negative when one ended otherwise than the case says.
double slowestOpen(const Case &c, int runs)
{
    double slowest = 0;
    for (int i = 0; i < runs; ++i) {
        SimChild sim;
        bool started = false;
        switch (c.args.size()) {
        case 0:
            started = sim.start();
            break;
        case 1:
            started = sim.start({c.args[0]});
            break;
        case 2:
            started = sim.start({c.args[0], c.args[1]});
            break;
        case 3:
            started = sim.start({c.args[0], c.args[1], c.args[2]});
            break;
        case 4:
            started = sim.start({c.args[0], c.args[1], c.args[2], c.args[3]});
            break;
        default:
            break;
        }
        if (!started)
            return -1;
        std::string port = sim.port;
        char folder[] = "/tmp/kavrik-bench-bt-XXXXXX";
        if (c.bluetooth) {
            if (!::mkdtemp(folder))
                return -1;
            port = std::string(folder) + "/" + rendezvous::bluetoothPortName(9);
            if (::symlink(sim.port.c_str(), port.c_str()) != 0)
                return -1;
        }
        uint32_t err = 0;
        const long long before = monotonicUs();
        std::thread unmute;
        if (c.unmuteAfterMs > 0) {
            unmute = std::thread([&sim, after = c.unmuteAfterMs] {
                std::this_thread::sleep_for(std::chrono::milliseconds(after));
                sim.command("unmute");
            });
        }
        const FtHandle h = ftxOpenComDevice(port.c_str(), 38400, &err);
        const double ms = static_cast<double>(monotonicUs() - before) / 1000.0;
        if (unmute.joinable())
            unmute.join();
        if (h)
            ftxCloseDevice(h);
        if (c.bluetooth) {
            ::unlink(port.c_str());
            ::rmdir(folder);
        }
        if ((h != 0) != c.opens)
            return -1;
        slowest = std::max(slowest, ms);
    }
    return slowest;
}

// Seconds from starting kavrik-txprobe to its exit; negative on failure.
double probeSeconds()
{
    SimChild sim;
    if (!sim.start())
        return -1;
    char report[] = "/tmp/kavrik-bench-txprobe-XXXXXX";
    const int fd = ::mkstemp(report);
    if (fd < 0)
        return -1;
    ::close(fd);
    const char *argv[] = {KAVRIK_BIN_DIR "/kavrik-txprobe", sim.port.c_str(), "-o", report, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const long long before = monotonicUs();
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    const bool ok = rc == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const double seconds = static_cast<double>(monotonicUs() - before) / 1e6;
    ::unlink(report);
    return ok ? seconds : -1;
}

// Whether this machine has an address on a TXT's USB, WLAN or Bluetooth
// network, where the search would ask the TXT.
bool onTxtNetwork()
{
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (const ifaddrs *i = list; i; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET) {
            const std::uint32_t net = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr) >> 8;
            found = found || net == 0xC0A807u || net == 0xC0A808u || net == 0xC0A809u;
        }
    }
    ::freeifaddrs(list);
    return found;
}

// `runs` port searches as the program makes them (the count asked again
// before each entry read): the median and the slowest. The figure is about
// machines without a TXT's network: on one, the search would ask the TXT.
void portSearchFigure(int runs)
{
    if (onTxtNetwork()) {
        std::printf("port search: skipped, this machine is on a TXT's network (192.168.7-9.x)\n");
        return;
    }
    std::vector<double> times;
    char entry[256];
    for (int run = 0; run < runs; ++run) {
        const bench::Clock::time_point start = bench::Clock::now();
        for (uint32_t i = 0; i < GetAvailableComPorts(0) && i < 100; ++i) {
            if (EnumComPorts(i, entry, sizeof entry) != i)
                break;
        }
        times.push_back(bench::millisecondsSince(start));
    }
    const double medianMs = bench::median(times);
    std::printf("port search as the program makes it, no TXT network, %d runs: median %.3f ms, slowest %.3f ms "
                "(target <= 1 ms: %s)\n",
                runs, medianMs, *std::max_element(times.begin(), times.end()), medianMs <= 1 ? "met" : "MISSED");
    bench::figure("port_search", medianMs, "ms", 1);
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string only = argc > 2 ? argv[2] : "";
    const auto wanted = [&only](const std::string &figure) { return only.empty() || only == figure; };
    ftxInitLib();
    bool failed = false;
    if (wanted("port_search"))
        portSearchFigure(runs * 40);
    const Case cases[] = {
        {"as_simulated", {}, true, false, 2000},
        {"info_unanswered", {"--ignore", "6"}, true, false, 2000},
        {"status_unanswered", {"--ignore", "7"}, true, false, 2000},
        {"answers_150ms_late", {"--latency", "150"}, true, false, 2000},
        {"serial_with_letters", {"--serial", "0A1B2C3D4E5F"}, true, false, 2000},
        // The bounds of the open, whatever the device claims or keeps back.
        {"mute", {"--mute"}, false, false, 2000},
        {"eight_extensions_unanswered", {"--extensions", "8", "--ignore", "6"}, true, false, 2000},
        {"mute_bluetooth", {"--mute"}, false, true, 12000},
        {"eight_extensions_unanswered_bluetooth", {"--extensions", "8", "--ignore", "6"}, true, true, 12000},
        // Bluetooth links that form late: the open follows the first answer.
        {"bluetooth_answers_after_4s", {"--mute", "--extensions", "1"}, true, true, 12000, 4000},
        {"bluetooth_answers_after_6s", {"--mute", "--extensions", "1"}, true, true, 12000, 6000},
        {"bluetooth_answers_after_8s", {"--mute", "--extensions", "1"}, true, true, 12000, 8000},
        // A ROBOTICS TXT over TCP: the connect and its status query.
        {"txt_as_simulated", {"--txt", "127.0.0.1:0"}, true, false, 200},
        {"txt_mute", {"--txt", "127.0.0.1:0", "--mute"}, false, false, 2000},
    };
    if (only.empty() || only.rfind("open_", 0) == 0)
        std::printf("open against controllers that answer less or later, slowest of %d:\n", runs);
    for (const Case &c : cases) {
        if (!wanted("open_" + std::string(c.name)))
            continue;
        // The Bluetooth cases take seconds each: fewer runs.
        const double ms = slowestOpen(c, c.bluetooth ? 1 : runs);
        failed = failed || ms < 0;
        std::printf("  %-40s %9.1f ms  (target <= %.0f ms: %s)\n", c.name, ms, c.targetMs,
                    ms >= 0 && ms <= c.targetMs ? "met" : "MISSED");
        bench::figure(("open_" + std::string(c.name)).c_str(), ms < 0 ? 1e9 : ms, "ms", c.targetMs);
    }
    ftxCloseLib();
    if (!wanted("txprobe_report"))
        return failed ? 1 : 0;
    double slowest = 0;
    for (int i = 0; i < 3; ++i) {
        const double s = probeSeconds();
        failed = failed || s < 0;
        slowest = std::max(slowest, s < 0 ? 1e9 : s);
    }
    std::printf("kavrik-txprobe report against the simulator, slowest of 3: %.2f s (target <= 10 s: %s)\n", slowest,
                slowest <= 10 ? "met" : "MISSED");
    bench::figure("txprobe_report", slowest, "s", 10);
    return failed ? 1 : 0;
}
