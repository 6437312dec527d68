// SPDX-License-Identifier: GPL-3.0-or-later
// Key-to-wire latency: from the program's key handling to the simulator
// decoding the new duty on its side of the pseudo-terminal, immediate versus
// cycle-only.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <fcntl.h>
#include <poll.h>

#include "bench/benchsupport.h"
#include "bench/simchild.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "ftmsclib/ftmsclib.h"

namespace {

struct Figures {
    double p50 = 0, p99 = 0, max = 0;
    bool ok = false;
};

double percentile(std::vector<long long> v, double p)
{
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return static_cast<double>(v[i]) / 1000.0;
}

Figures measure(bool cycleOnly, int presses)
{
    Figures f;
    ::setenv("KAVRIK_FTLIB_CYCLE_ONLY", cycleOnly ? "1" : "0", 1);
    SimChild sim;
    if (!sim.start()) {
        std::fprintf(stderr, "simulator did not start\n");
        return f;
    }
    uint32_t err = 0;
    const FtHandle h = ftxOpenComDevice(sim.port.c_str(), 38400, &err);
    if (!h || ftxStartTransferArea(h) != FTLIB_ERR_SUCCESS || sim.waitFor("\"config\"", 2000) < 0) {
        std::fprintf(stderr, "open/start failed: 0x%08x\n", err);
        return f;
    }
    // The program's side: one binding, the A key on M1 at full speed.
    KeyBinding a;
    a.keyText = "a";
    a.keyCode = 65;
    a.speed = 512;
    bindingList().clear();
    bindingList().append(a);
    ftConnection().deviceHandle = h;
    ftConnection().transferAreaRunning = true;

    std::mt19937 random(42);
    std::uniform_int_distribution<int> pause(0, 10);
    std::vector<long long> samples;
    for (int i = 0; i < presses * 2; ++i) {
        const int duty = i % 2 == 0 ? 512 : 0;
        // Keys come at any moment of the cycle, not right after a reply.
        ::poll(nullptr, 0, pause(random));
        const long long before = monotonicUs();
        bindingList().handleKey(65, duty != 0);
        const long long seen = sim.waitFor("\"out\":0,\"duty\":" + std::to_string(duty) + "}", 2000);
        if (seen < 0) {
            std::fprintf(stderr, "duty %d never arrived\n", duty);
            ftxCloseDevice(h);
            return f;
        }
        samples.push_back(seen - before);
    }
    ftConnection().transferAreaRunning = false;
    ftxCloseDevice(h);
    f.p50 = percentile(samples, 0.50);
    f.p99 = percentile(samples, 0.99);
    f.max = percentile(samples, 1.0);
    f.ok = true;
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    const int presses = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    ftxInitLib();
    const Figures immediate = measure(false, presses);
    const Figures cycle = measure(true, presses);
    ftxCloseLib();
    if (!immediate.ok || !cycle.ok)
        return 1;
    std::printf("key-to-wire latency, %d presses and %d releases each\n", presses, presses);
    std::printf("  immediate : p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  (target p99 <= 2 ms: %s)\n", immediate.p50,
                immediate.p99, immediate.max, immediate.p99 <= 2.0 ? "met" : "MISSED");
    std::printf("  cycle-only: p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms\n", cycle.p50, cycle.p99, cycle.max);
    std::printf("  ratio cycle-only / immediate: p50 %.1fx  p99 %.1fx\n", cycle.p50 / immediate.p50, cycle.p99 / immediate.p99);
    bench::figure("key_to_wire_p50", immediate.p50, "ms", 2.0);
    bench::figure("key_to_wire_p99", immediate.p99, "ms", 2.0);
    return 0;
}
