// SPDX-License-Identifier: GPL-3.0-or-later
// Key-to-wire latency: from the program's key handling to the simulator
// decoding the new duty on its side of the pseudo-terminal, immediate versus
// cycle-only; pad-to-wire: from a pad's button changing to the same; and
// switch-to-wire: from an end switch closing at the simulator to the 0 the
// library sends for its output.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>

#include <QApplication>
#include <QEventLoop>
#include <QWidget>

#include "bench/benchsupport.h"
#include "bench/simchild.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "control/gamepads.h"
#include "control/padinputs.h"
#include "controller/ftconnection.h"
#include "ftmsclib/ftmsclib.h"
#include "tests/virtualpad.h"

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

// The figures of a run whose every sample (µs) was taken.
Figures summarised(const std::vector<long long> &samples)
{
    Figures f;
    f.p50 = percentile(samples, 0.50);
    f.p99 = percentile(samples, 0.99);
    f.max = percentile(samples, 1.0);
    f.ok = true;
    return f;
}

// The input changes (a key event handled, a pad's button set) and the
// time it took until the simulator decoded the duty, in µs; -1 if it never
// did.
using Change = std::function<long long(bool press, SimChild &sim, const std::string &seen)>;

// `device`: the simulator's options; `fewest`: the least time between two
// changes, in ms.
Figures measure(bool cycleOnly, int presses, quint32 code, const Change &change,
                std::initializer_list<const char *> device = {}, int fewest = 0)
{
    Figures f;
    ::setenv("KAVRIK_FTLIB_CYCLE_ONLY", cycleOnly ? "1" : "0", 1);
    SimChild sim;
    if (!sim.start(device)) {
        std::fprintf(stderr, "simulator did not start\n");
        return f;
    }
    uint32_t err = 0;
    const FtHandle h = ftxOpenComDevice(sim.port.c_str(), 38400, &err);
    if (!h || ftxStartTransferArea(h) != FTLIB_ERR_SUCCESS || sim.waitFor("\"config\"", 2000) < 0) {
        std::fprintf(stderr, "open/start failed: 0x%08x\n", err);
        return f;
    }
    // The program's side: one binding on M1 at full speed.
    KeyBinding a;
    a.keyText = "a";
    a.keyCode = static_cast<int>(code);
    a.speed = 512;
    bindingList().clear();
    bindingList().append(a);
    ftConnection().deviceHandle = h;
    ftConnection().transferAreaRunning = true;

    std::mt19937 random(42);
    std::uniform_int_distribution<int> pause(fewest, fewest + 10);
    std::vector<long long> samples;
    for (int i = 0; i < presses * 2; ++i) {
        const int duty = i % 2 == 0 ? 512 : 0;
        // Inputs come at any moment of the cycle, not right after a reply.
        ::poll(nullptr, 0, pause(random));
        const long long took = change(duty != 0, sim, "\"out\":0,\"duty\":" + std::to_string(duty) + "}");
        if (took < 0) {
            std::fprintf(stderr, "duty %d never arrived\n", duty);
            ftxCloseDevice(h);
            return f;
        }
        samples.push_back(took);
    }
    ftConnection().transferAreaRunning = false;
    ftxCloseDevice(h);
    return summarised(samples);
}

long long keyChange(bool press, SimChild &sim, const std::string &seen)
{
    const long long before = monotonicUs();
    bindingList().handleKey(65, press);
    const long long at = sim.waitFor(seen, 2000);
    return at < 0 ? -1 : at - before;
}

// A pad's button through the pads' thread and the window's event loop: the
// thread is woken as a real pad's device file wakes it (SDL's virtual pad
// has none), the GUI thread runs its loop while another waits for the wire.
Figures measurePad(int presses)
{
    QWidget window;
    window.show();
    QApplication::setActiveWindow(&window);
    VirtualPad pad;
    GamePads pads(&window, nullptr);
    QEventLoop loop;
    bench::handleEventsUntil([] { return false; }, 50);
    pads.readNow();
    if (!bench::handleEventsUntil(
            [&] { return !pads.padNames().isEmpty() && QApplication::activeWindow() == &window; }, 5000)) {
        std::fprintf(stderr, "the pad or the window did not come\n");
        return {};
    }
    return measure(false, presses, pad::A, [&](bool press, SimChild &sim, const std::string &seen) {
        long long at = -1;
        std::thread wire([&] {
            at = sim.waitFor(seen, 2000);
            QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
        });
        const long long before = monotonicUs();
        pad.change(pad::A, press ? 100 : 0);
        pads.readNow();
        loop.exec();
        wire.join();
        return at < 0 ? -1 : at - before;
    });
}

// An end switch on I1 of the Master stops O1, driven at full speed: the
// switch closes at the simulator at any moment of the cycle, at least
// `settle` ms after O1 was driven again, and the time until the simulator
// decodes O1's 0 is taken from the two events' times.
Figures measureSwitch(int closures, int settle, std::initializer_list<const char *> device)
{
    Figures f;
    ::setenv("KAVRIK_FTLIB_CYCLE_ONLY", "0", 1);
    SimChild sim;
    uint32_t err = 0;
    const FtHandle h = sim.start(device) ? ftxOpenComDevice(sim.port.c_str(), 38400, &err) : 0;
    if (!h || SetFtEndSwitches(h, 0, 0, 0x01) != FTLIB_ERR_SUCCESS || ftxStartTransferArea(h) != FTLIB_ERR_SUCCESS
        || SetOutPwmValues(h, 0, 0, 512) != FTLIB_ERR_SUCCESS || sim.waitFor("\"out\":0,\"duty\":512}", 2000) < 0) {
        std::fprintf(stderr, "open/start failed: 0x%08x\n", err);
        return f;
    }
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pause(settle, settle + 10);
    std::vector<long long> samples;
    for (int i = 0; i < closures; ++i) {
        ::poll(nullptr, 0, pause(random));
        sim.command("input 0 1 closed");
        const long long closed = sim.waitFor("\"input\":1,\"closed\":true}", 2000);
        const long long stopped = sim.waitFor("\"out\":0,\"duty\":0}", 2000);
        sim.command("input 0 1 open");
        if (closed < 0 || stopped < 0 || sim.waitFor("\"out\":0,\"duty\":512}", 2000) < 0) {
            std::fprintf(stderr, "the switch did not stop O1, or its opening did not drive it again\n");
            ftxCloseDevice(h);
            return f;
        }
        samples.push_back(stopped - closed);
    }
    ftxCloseDevice(h);
    return summarised(samples);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    const int presses = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    ftxInitLib();
    const Figures immediate = measure(false, presses, 65, keyChange);
    const Figures cycle = measure(true, presses, 65, keyChange);
    const Figures padded = measurePad(presses);
    // A TXT takes one exchange per 10 ms cycle, whatever the host does: two
    // changes within one cycle cannot both reach it sooner. Keys come at
    // least a cycle apart here, at any moment of it.
    const Figures txt = measure(false, presses, 65, keyChange, {"--txt", "127.0.0.1:0", "--watchdog", "0"}, 10);
    // A motor runs a while before it reaches its switch: the cycle has
    // settled by then. A TXT answers an exchange sent at once (the one that
    // drove the motor again) only 10 ms after the answer before, so a
    // switch that closes right after it is seen a cycle later: shown, without
    // a target.
    const int closures = std::max(1, presses / 4);
    const Figures txSwitch = measureSwitch(closures, 20, {"--watchdog", "0"});
    const Figures txtSwitch = measureSwitch(closures, 20, {"--txt", "127.0.0.1:0", "--watchdog", "0"});
    const Figures txtSwitchEarly = measureSwitch(closures, 0, {"--txt", "127.0.0.1:0", "--watchdog", "0"});
    ftxCloseLib();
    if (!immediate.ok || !cycle.ok || !padded.ok || !txt.ok || !txSwitch.ok || !txtSwitch.ok || !txtSwitchEarly.ok)
        return 1;
    std::printf("key-to-wire latency, %d presses and %d releases each\n", presses, presses);
    std::printf("  immediate : p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  (target p99 <= 2 ms: %s)\n", immediate.p50,
                immediate.p99, immediate.max, immediate.p99 <= 2.0 ? "met" : "MISSED");
    std::printf("  cycle-only: p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms\n", cycle.p50, cycle.p99, cycle.max);
    std::printf("  ratio cycle-only / immediate: p50 %.1fx  p99 %.1fx\n", cycle.p50 / immediate.p50, cycle.p99 / immediate.p99);
    std::printf("pad-to-wire latency, a button pressed and released %d times\n", presses);
    std::printf("  immediate : p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  (target p99 <= 2 ms: %s)\n", padded.p50,
                padded.p99, padded.max, padded.p99 <= 2.0 ? "met" : "MISSED");
    std::printf("key-to-TXT-exchange latency over TCP to the simulated TXT, keys a cycle or more apart\n");
    std::printf("  immediate : p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  (target p99 <= 2 ms: %s)\n", txt.p50, txt.p99,
                txt.max, txt.p99 <= 2.0 ? "met" : "MISSED");
    // One exchange cycle (10 ms) for the answer that shows the switch, 2 ms
    // for the exchange that follows it at once.
    const double switchTarget = 12.0;
    std::printf("switch-to-wire latency, an end switch closed %d times at any moment of the cycle, 20 ms or more\n"
                "after the motor was driven again\n",
                closures);
    std::printf("  ROBO TX   : p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  (target p99 <= %.0f ms: %s)\n", txSwitch.p50,
                txSwitch.p99, txSwitch.max, switchTarget, txSwitch.p99 <= switchTarget ? "met" : "MISSED");
    std::printf("  TXT       : p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  (target p99 <= %.0f ms: %s)\n", txtSwitch.p50,
                txtSwitch.p99, txtSwitch.max, switchTarget, txtSwitch.p99 <= switchTarget ? "met" : "MISSED");
    std::printf("  TXT, within 10 ms of driving again: p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms\n", txtSwitchEarly.p50,
                txtSwitchEarly.p99, txtSwitchEarly.max);
    bench::figure("key_to_wire_p50", immediate.p50, "ms", 2.0);
    bench::figure("key_to_wire_p99", immediate.p99, "ms", 2.0);
    bench::figure("pad_to_wire_p99", padded.p99, "ms", 2.0);
    bench::figure("key_to_txt_exchange_p99", txt.p99, "ms", 2.0);
    bench::figure("switch_to_wire_p99", txSwitch.p99, "ms", switchTarget);
    bench::figure("switch_to_txt_exchange_p99", txtSwitch.p99, "ms", switchTarget);
    return 0;
}
