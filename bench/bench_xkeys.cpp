// SPDX-License-Identifier: GPL-3.0-or-later
// Real X11 key events (a private Xvfb, typed on through XTest) to the
// program's motor command: how long a press and a release take from the
// server to SetOutPwmValues. Presses go the toolkit's way to the main
// window; releases are taken by the keyboard guard on their way to any
// window, so the difference is what that costs.
#include <cstdio>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>

#include "app/mainwindow.h"
#include "bench/benchsupport.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"
#include "tests/xserver.h"

namespace {

bench::Clock::time_point commandAt;
int commands = 0;

uint32_t recordCommand(FtHandle, int32_t, int32_t, int32_t)
{
    commandAt = bench::Clock::now();
    ++commands;
    return 0;
}

// Runs the event loop until the next motor command; its latency in ms from
// `sent`, or a negative value after a second without one.
double untilCommand(bench::Clock::time_point sent)
{
    const int before = commands;
    QElapsedTimer waited;
    waited.start();
    while (commands == before) {
        if (waited.elapsed() > 1000)
            return -1;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return std::chrono::duration<double, std::milli>(commandAt - sent).count();
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

} // namespace

int main(int argc, char *argv[])
{
    XServer server;
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "bench_xkeys: %s\n", error.c_str());
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    window.activateWindow();
    QElapsedTimer shown;
    shown.start();
    while (!window.isActiveWindow() && shown.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

    ftLib().SetOutPwmValues = &recordCommand;
    ftConnection().transferAreaRunning = true;
    KeyBinding w;
    w.keyText = QStringLiteral("w");
    w.keyCode = 'W';
    w.speed = 512;
    bindingList().append(w);

    XTestInput input;
    // Well below the auto-repeat delay: only real presses and releases.
    if (!input.isOpen() || !input.setAutoRepeat(600, 40))
        return 1;
    constexpr unsigned keycodeW = 25;
    std::vector<double> presses, releases;
    for (int i = 0; i < 500; ++i) {
        auto sent = bench::Clock::now();
        input.key(keycodeW, true);
        const double press = untilCommand(sent);
        sent = bench::Clock::now();
        input.key(keycodeW, false);
        const double release = untilCommand(sent);
        if (press < 0 || release < 0) {
            std::fprintf(stderr, "bench_xkeys: key %d got no motor command\n", i);
            return 1;
        }
        presses.push_back(press);
        releases.push_back(release);
    }
    const double pressP99 = percentile(presses, 0.99), releaseP99 = percentile(releases, 0.99);
    std::printf("X server to motor command, %zu presses and releases\n", presses.size());
    std::printf("  press  : p50 %6.3f ms  p99 %6.3f ms\n", percentile(presses, 0.5), pressP99);
    std::printf("  release: p50 %6.3f ms  p99 %6.3f ms\n", percentile(releases, 0.5), releaseP99);
    bench::figure("x_release_to_command_p99", releaseP99, "ms", 2.0);
    // The guard's share: a release may cost at most 1 ms more than a press.
    bench::figure("x_release_minus_press_p99", releaseP99 - pressP99, "ms", 1.0);
    return 0;
}
