// SPDX-License-Identifier: GPL-3.0-or-later
// The controller library on Windows (run under Wine) against the Linux
// simulator: a ROBO TX on the COM port Wine maps to its pseudo-terminal and
// a TXT on loopback. Three figures each: the open, the CPU of an idle
// transfer loop, and key to frame sent.
//
// The key's time and the frame's are both QueryPerformanceCounter, taken in
// this process: the frame's comes from the library's own trace, stamped as
// the frame is handed to the port. The simulator's "t_us" is a clock of
// its own under Wine (CLOCK_MONOTONIC against the counter's
// CLOCK_MONOTONIC_RAW, some 0.2 s apart and drifting), so it is never
// compared with ours: the figure ends where the bytes leave the library,
// not where the simulator decodes them as on Linux.
// `bench_windowslink [PRESSES [IDLE_SECONDS [OPENS]]]`
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <winsock2.h>
#include <windows.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include "bench/benchsupport.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "ftmsclib/ftmsclib.h"
#include "protocol/codec.h"
#include "protocol/transferarea.h"
#include "protocol/txt.h"
#include "tests/simprocess.h"

namespace {

// The library's trace clock (trace_windows.cpp), the same formula.
long long counterUs()
{
    static const long long frequency = [] {
        LARGE_INTEGER f{};
        ::QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? f.QuadPart : 1;
    }();
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency;
}

double processCpuSeconds()
{
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    const auto seconds = [](const FILETIME &t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// The wineserver's CPU seconds (its Linux /proc entry, through Wine's Z:),
// when bench-report names its process; it serves every Windows process of
// the session, this one's system calls among them. Negative when unknown.
double wineserverCpuSeconds()
{
    const QByteArray pid = qgetenv("KAVRIK_WINESERVER_PID");
    if (pid.isEmpty())
        return -1;
    FILE *f = std::fopen(("Z:/proc/" + pid + "/stat").constData(), "r");
    if (!f)
        return -1;
    char text[1024] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    // Fields 14 and 15 (utime, stime) in clock ticks, after the name's ')'.
    const char *at = std::strrchr(text, ')');
    unsigned long utime = 0, stime = 0;
    if (n == 0 || !at || std::sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    // Linux's USER_HZ, 100 on every architecture Wine runs on.
    return static_cast<double>(utime + stime) / 100.0;
}

// The library reads its trace settings at each open, from the C runtime's
// environment, which this program shares with it.
void setTrace(const QString &file)
{
    ::_putenv_s("KAVRIK_FTLIB_TRACE", file.isEmpty() ? "0" : "2");
    ::_putenv_s("KAVRIK_FTLIB_TRACE_FILE", QDir::toNativeSeparators(file).toLocal8Bit().constData());
}

std::vector<std::uint8_t> hexBytes(const std::string &text)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3)
        bytes.push_back(static_cast<std::uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    return bytes;
}

// Reads the trace file as it grows: the time of each exchange sent and the
// duty it carries for the Master's O1 (M1 forward).
class FramesSent {
public:
    explicit FramesSent(const QString &path)
    {
        file_ = ::CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    }
    ~FramesSent()
    {
        if (file_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(file_);
    }

    // The time of the first exchange at or after `fromUs` carrying `duty`;
    // -1 after `ms` without one.
    long long firstWith(int duty, long long fromUs, int ms)
    {
        const long long deadline = counterUs() + ms * 1000LL;
        for (;;) {
            while (!sent_.empty()) {
                const Sent s = sent_.front();
                sent_.erase(sent_.begin());
                if (s.tUs >= fromUs && s.duty == duty)
                    return s.tUs;
            }
            if (counterUs() > deadline)
                return -1;
            if (!readMore())
                ::Sleep(1);
        }
    }

    int exchanges = 0;

private:
    struct Sent {
        long long tUs;
        int duty;
    };

    bool readMore()
    {
        if (file_ == INVALID_HANDLE_VALUE)
            return false;
        char buffer[65536];
        DWORD got = 0;
        bool any = false;
        while (::ReadFile(file_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            partial_.append(buffer, got);
            any = true;
        }
        std::size_t end;
        while ((end = partial_.find('\n')) != std::string::npos) {
            take(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
        return any;
    }

    // "ftMscLib [s.micro] PORT: tx WHAT: hex"; a TXT's port has a colon
    // of its own, the hex none.
    void take(const std::string &line)
    {
        const auto open = line.find('[');
        const auto tx = line.find(": tx ");
        const auto bytesAt = line.rfind(": ");
        if (open == std::string::npos || tx == std::string::npos || bytesAt <= tx)
            return;
        const long long tUs = std::atoll(line.c_str() + open + 1) * 1000000 + std::atoll(line.c_str() + line.find('.', open) + 1);
        const std::string what = line.substr(tx + 5, bytesAt - tx - 5);
        const std::vector<std::uint8_t> bytes = hexBytes(line.substr(bytesAt + 2));
        int duty = -1;
        if (what == "StartOnline") {
            received_.reset();
        } else if (what == "ExchangeDataCmpr") {
            std::uint16_t mask = 0;
            std::vector<protocol::txt::Outputs> blocks;
            if (protocol::txt::readCompressedExchange(received_, bytes.data(), bytes.size(), mask, blocks)
                    == protocol::txt::CmprError::None
                && !blocks.empty())
                duty = blocks[0].duty[0];
        } else if (what == "ExchangeData") {
            protocol::txt::Outputs outputs;
            if (protocol::txt::readExchange(bytes.data(), bytes.size(), outputs))
                duty = outputs.duty[0];
        } else if (what.rfind("cmd 2 ", 0) == 0) {
            protocol::FrameDecoder decoder;
            decoder.feed(bytes.data(), bytes.size());
            protocol::Frame frame;
            std::vector<protocol::Item> items;
            if (decoder.next(frame) && protocol::splitItems(frame, protocol::kTaOutputSize, items)) {
                for (const protocol::Item &item : items) {
                    if (item.taId == 0)
                        duty = protocol::decodeTaOutput(item.data).duty[0];
                }
            }
        }
        if (duty >= 0) {
            ++exchanges;
            sent_.push_back({tUs, duty});
        }
    }

    HANDLE file_ = INVALID_HANDLE_VALUE;
    std::string partial_;
    std::vector<Sent> sent_;
    // The TXT's compressed words, decoded as the TXT does.
    protocol::txt::WordStream received_;
};

double percentile(std::vector<long long> v, double p)
{
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return static_cast<double>(v[i]) / 1000.0;
}

struct Controller {
    const char *name;
    QStringList simulator;
    // The least time between two keys, in ms: a TXT takes one exchange per
    // 10 ms cycle, so two changes within one cannot both reach it sooner.
    int fewest;
    double openTargetMs;
};

bool connected(SimProcess &sim, FtHandle &h)
{
    uint32_t err = 0;
    h = ftxOpenComDevice(sim.port.toLocal8Bit().constData(), 38400, &err);
    if (!h || ftxStartTransferArea(h) != FTLIB_ERR_SUCCESS
        || sim.waitFor([](const QJsonObject &e) { return e["event"] == "config"; }, 3000).isEmpty()) {
        std::fprintf(stderr, "%s: open/start failed: 0x%08x\n", qPrintable(sim.port), err);
        if (h)
            ftxCloseDevice(h);
        h = 0;
        return false;
    }
    return true;
}

// Median and slowest of `runs` opens, each of a simulator just started; a
// negative median when one failed.
void openFigures(const Controller &c, int runs, double &medianMs, double &slowestMs)
{
    setTrace({});
    std::vector<double> times;
    QTemporaryDir dir;
    for (int i = 0; i < runs; ++i) {
        SimProcess sim;
        if (!sim.start(c.simulator, dir.path())) {
            medianMs = slowestMs = -1;
            return;
        }
        uint32_t err = 0;
        const long long before = counterUs();
        const FtHandle h = ftxOpenComDevice(sim.port.toLocal8Bit().constData(), 38400, &err);
        times.push_back(static_cast<double>(counterUs() - before) / 1000.0);
        if (!h) {
            std::fprintf(stderr, "%s: open failed: 0x%08x\n", qPrintable(sim.port), err);
            medianMs = slowestMs = -1;
            return;
        }
        ftxCloseDevice(h);
    }
    medianMs = bench::median(times);
    slowestMs = *std::max_element(times.begin(), times.end());
}

// The process's CPU share, in % of one core, over `seconds` of a running
// transfer with nothing held; negative when the link did not stay up. The
// wineserver's over the same time in `server` (negative when unknown).
double idleCpu(const Controller &c, int seconds, double &server)
{
    server = -1;
    setTrace({});
    QTemporaryDir dir;
    SimProcess sim;
    FtHandle h = 0;
    if (!sim.start(c.simulator, dir.path()) || !connected(sim, h))
        return -1;
    // Past the start's own work.
    ::Sleep(500);
    const double server0 = wineserverCpuSeconds();
    const double cpu0 = processCpuSeconds();
    const long long wall0 = counterUs();
    ::Sleep(static_cast<DWORD>(seconds) * 1000);
    const double cpu = processCpuSeconds() - cpu0;
    const double wall = static_cast<double>(counterUs() - wall0) / 1e6;
    const double server1 = wineserverCpuSeconds();
    if (server0 >= 0 && server1 >= 0)
        server = 100.0 * (server1 - server0) / wall;
    const bool running = GetComStatus(h) == FTLIB_ERR_SUCCESS;
    ftxCloseDevice(h);
    return running ? 100.0 * cpu / wall : -1;
}

// What Wine itself costs a loop of this rate, for reference: a thread that,
// 100 times a second, sends a request over loopback TCP, has it answered
// and waits for the next cycle (two sends, two receives and a wait each,
// roughly what one TXT exchange asks of the system), without the library.
// In % of one core, this process only; negative on a socket failure.
double wineFloorCpu(int seconds)
{
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return -1;
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    SOCKET host = INVALID_SOCKET, device = INVALID_SOCKET;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::listen(listener, 1) == 0
        && ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) == 0) {
        host = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (::connect(host, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            device = ::accept(listener, nullptr, nullptr);
    }
    ::closesocket(listener);
    double share = -1;
    if (device != INVALID_SOCKET) {
        const HANDLE tick = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        char request[60] = {}, reply[80] = {};
        const auto exchange = [&] {
            return ::send(host, request, sizeof request, 0) == sizeof request
                && ::recv(device, request, sizeof request, MSG_WAITALL) == sizeof request
                && ::send(device, reply, sizeof reply, 0) == sizeof reply
                && ::recv(host, reply, sizeof reply, MSG_WAITALL) == sizeof reply;
        };
        bool ok = exchange();
        const double cpu0 = processCpuSeconds();
        const long long wall0 = counterUs();
        for (long long next = wall0 + 10000; ok && next < wall0 + seconds * 1000000LL; next += 10000) {
            ok = exchange();
            const long long left = next - counterUs();
            if (left > 0)
                ::WaitForSingleObject(tick, static_cast<DWORD>((left + 999) / 1000));
        }
        if (ok)
            share = 100.0 * (processCpuSeconds() - cpu0) / (static_cast<double>(counterUs() - wall0) / 1e6);
        ::CloseHandle(tick);
    }
    if (host != INVALID_SOCKET)
        ::closesocket(host);
    if (device != INVALID_SOCKET)
        ::closesocket(device);
    ::WSACleanup();
    return share;
}

// Wine's own share of the key's path, for reference: an event set on one
// thread until the thread waiting on it runs, as the library's wake-up of
// its transfer thread goes (wakesignal_windows.cpp). p99 in ms.
double wineWakeUpP99(int times)
{
    const HANDLE go = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const HANDLE done = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    long long woke = 0;
    std::thread waiter([&] {
        for (int i = 0; i < times; ++i) {
            ::WaitForSingleObject(go, INFINITE);
            woke = counterUs();
            ::SetEvent(done);
        }
    });
    std::mt19937 random(42);
    std::uniform_int_distribution<int> pause(0, 10);
    std::vector<long long> samples;
    for (int i = 0; i < times; ++i) {
        ::Sleep(static_cast<DWORD>(pause(random)));
        const long long before = counterUs();
        ::SetEvent(go);
        ::WaitForSingleObject(done, INFINITE);
        samples.push_back(woke - before);
    }
    waiter.join();
    ::CloseHandle(go);
    ::CloseHandle(done);
    return percentile(samples, 0.99);
}

struct Latency {
    double p50 = -1, p99 = -1, max = -1;
    int samples = 0;
};

// Keys pressed and released through the program's key handling, as
// bench_latency does on Linux, at any moment of the cycle.
Latency keyToFrame(const Controller &c, int presses)
{
    Latency result;
    QTemporaryDir dir;
    const QString traceFile = dir.filePath(QStringLiteral("trace.txt"));
    setTrace(traceFile);
    SimProcess sim;
    FtHandle h = 0;
    if (!sim.start(c.simulator, dir.path()) || !connected(sim, h))
        return result;
    setTrace({});
    FramesSent frames(traceFile);
    KeyBinding a;
    a.keyText = QStringLiteral("a");
    a.keyCode = 65;
    a.speed = 512;
    bindingList().clear();
    bindingList().append(a);
    ftConnection().deviceHandle = h;
    ftConnection().transferAreaRunning = true;

    std::mt19937 random(42);
    std::uniform_int_distribution<int> pause(c.fewest, c.fewest + 10);
    std::vector<long long> samples;
    for (int i = 0; i < presses * 2; ++i) {
        const int duty = i % 2 == 0 ? 512 : 0;
        ::Sleep(static_cast<DWORD>(pause(random)));
        const long long before = counterUs();
        bindingList().handleKey(65, duty != 0);
        const long long at = frames.firstWith(duty, before, 2000);
        if (at < 0) {
            std::fprintf(stderr, "%s: duty %d never went (%d exchanges traced)\n", c.name, duty, frames.exchanges);
            break;
        }
        samples.push_back(at - before);
    }
    ftConnection().transferAreaRunning = false;
    ftConnection().deviceHandle = 0;
    ftxCloseDevice(h);
    if (static_cast<int>(samples.size()) == presses * 2) {
        result.p50 = percentile(samples, 0.50);
        result.p99 = percentile(samples, 0.99);
        result.max = percentile(samples, 1.0);
        result.samples = static_cast<int>(samples.size());
    }
    return result;
}

// A failed measurement misses its target whatever it is.
double orFailed(double value)
{
    return value < 0 ? 1e9 : value;
}

} // namespace

int main(int argc, char **argv)
{
    // Nothing is shown: the offscreen platform, whatever Wine's display.
    std::vector<char *> arguments(argv, argv + argc);
    char platform[] = "-platform", offscreen[] = "offscreen";
    arguments.push_back(platform);
    arguments.push_back(offscreen);
    int count = static_cast<int>(arguments.size());
    QApplication application(count, arguments.data());
    const int presses = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const int opens = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    if (qEnvironmentVariableIsEmpty("KAVRIK_WINE_COM_LINK")) {
        std::fprintf(stderr, "KAVRIK_WINE_COM_LINK is not set: run under scripts/windows-env's kavrik_wine_start\n");
        return 1;
    }
    ftxInitLib();
    // The open targets are bench_open's (as_simulated, txt_as_simulated).
    const Controller controllers[] = {
        {"robotx_com8", {}, 0, 2000},
        {"txt_loopback", {"--txt", "127.0.0.1:0"}, 10, 200},
    };
    bool failed = false;
    for (const Controller &c : controllers) {
        double openMedian = -1, openSlowest = -1;
        openFigures(c, opens, openMedian, openSlowest);
        double server = -1;
        const double cpu = idleCpu(c, seconds, server);
        const Latency key = keyToFrame(c, presses);
        failed = failed || openMedian < 0 || cpu < 0 || key.samples == 0;
        std::printf("%s:\n", c.name);
        std::printf("  open as simulated, %d runs: median %.1f ms, slowest %.1f ms (target <= %.0f ms)\n", opens,
                    openMedian, openSlowest, c.openTargetMs);
        std::printf("  idle transfer loop, this process only (the wineserver's share is outside it), %d s: "
                    "%.3f %% of one core (target <= 1 %%)\n",
                    seconds, cpu);
        if (server >= 0)
            std::printf("  ... and the wineserver meanwhile (the whole session's): %.3f %% of one core\n", server);
        std::printf("  key to frame sent (trace stamp, same clock), %d changes: p50 %.3f ms  p99 %.3f ms  max %.3f ms "
                    "(target p99 <= 2 ms)\n",
                    key.samples, key.p50, key.p99, key.max);
        const std::string name = c.name;
        bench::figure((name + "_open_as_simulated_median").c_str(), orFailed(openMedian), "ms",
                      c.openTargetMs);
        bench::figure((name + "_idle_loop_cpu_excl_wineserver").c_str(), orFailed(cpu), "%", 1.0);
        if (server >= 0)
            bench::figure((name + "_idle_wineserver_cpu").c_str(), server, "%", 1.0);
        bench::figure((name + "_key_to_frame_sent_p50").c_str(), orFailed(key.p50), "ms", 2.0);
        bench::figure((name + "_key_to_frame_sent_p99").c_str(), orFailed(key.p99), "ms", 2.0);
    }
    ftxCloseLib();
    const double floor = wineFloorCpu(seconds);
    std::printf("for reference, Wine's own cost of 100 loopback TCP exchanges a second without the library "
                "(this process only), %d s: %.3f %% of one core\n",
                seconds, floor);
    // Beside the idle figures, under their target: what no library could
    // get below here.
    bench::figure("wine_alone_100_tcp_exchanges_cpu", orFailed(floor), "%", 1.0);
    const double wakeUp = wineWakeUpP99(presses * 2);
    std::printf("for reference, Wine's own wake-up of a waiting thread by an event, %d times: p99 %.3f ms\n",
                presses * 2, wakeUp);
    bench::figure("wine_alone_event_wakeup_p99", wakeUp, "ms", 2.0);
    return failed || floor < 0 ? 1 : 0;
}
