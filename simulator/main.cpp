// kavrik-simulator: a simulated ROBO TX controller on a pseudo-terminal, with
// a window (default) or headless for tests and benchmarks.
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include <QApplication>
#include <QTimer>

#include "engine.h"
#include "headless.h"
#include "ptyserver.h"
#include "simregistry.h"
#include "simwindow.h"

namespace {

txsim::PtyServer *activeServer = nullptr;

void onSignal(int)
{
    // requestStop() only writes to an eventfd: safe in a signal handler.
    if (activeServer)
        activeServer->requestStop();
}

void usage(FILE *out)
{
    std::fputs("Usage: kavrik-simulator [options]\n"
               "  --headless          no window; JSON events on stdout, commands on stdin\n"
               "  --extensions N      number of extensions online (0-8, default 0)\n"
               "  --name TEXT         controller name (default \"ROBO TX-000\")\n"
               "  --serial TEXT       serial number for the console probe (letters allowed)\n"
               "  --watchdog MS       outputs off after MS without exchange (0 = never; default 1000)\n"
               "  --mute              answer nothing (until the command \"unmute\")\n"
               "Behaviours of other controllers (each may be given more than once where it names a command):\n"
               "  --ignore CMD        never answer command CMD (1 echo, 2 exchange, 5 config, 6 info, 7 status)\n"
               "  --error CMD[:CODE]  answer command CMD with the reply code CODE (default 255), same TID\n"
               "  --latency MS        send every answer MS late\n"
               "  --ignore-extension-exchanges absent|all\n"
               "                      no answer to an exchange naming an extension that is off the bus\n"
               "                      (absent) or naming any extension (all)\n"
               "  --session-zero      keep the session id at 0 in every reply\n"
               "  --replay REPORT     answer as the controller in a kavrik-txprobe report did\n"
               "  --log-frames        headless: one line per received frame as well\n"
               "  --no-announce       do not list the port for the controller library\n"
               "Headless commands: drop [N], corrupt [N], split [MS], stray, mute, unmute,\n"
               "  hangup, ext K on|off, status, quit\n",
               out);
}

// A whole number from 0 to `max`: digits only, nothing after them.
bool wholeNumber(const char *text, long long max, long long &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    // strtoll alone would take "abc" as 0 and skip blanks and signs.
    return std::isdigit(static_cast<unsigned char>(*text)) && !*end && errno != ERANGE && value <= max;
}

} // namespace

int main(int argc, char **argv)
{
    txsim::EngineOptions engineOptions;
    txsim::HeadlessOptions headlessOptions;
    bool headless = false, mute = false, announce = true;
    std::chrono::milliseconds latency{0};
    std::string unknown;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--headless") {
            headless = true;
        } else if (arg == "--extensions" && hasValue) {
            char *end = nullptr;
            const long n = std::strtol(argv[++i], &end, 10);
            if (*end || n < 0 || n > protocol::kMaxExtensions) {
                std::fprintf(stderr, "kavrik-simulator: --extensions takes 0 to 8\n");
                return 2;
            }
            engineOptions.extensions = static_cast<int>(n);
        } else if (arg == "--name" && hasValue) {
            engineOptions.name = std::string(argv[++i]).substr(0, 16);
        } else if (arg == "--serial" && hasValue) {
            engineOptions.serial = argv[++i];
        } else if (arg == "--watchdog" && hasValue) {
            const char *text = argv[++i];
            long long ms = 0;
            if (!wholeNumber(text, std::numeric_limits<long long>::max(), ms)) {
                std::fprintf(stderr, "kavrik-simulator: --watchdog takes milliseconds as a whole number, 0 = never (not \"%s\")\n", text);
                return 2;
            }
            engineOptions.watchdog = std::chrono::milliseconds(ms);
        } else if (arg == "--ignore" && hasValue) {
            long long command = 0;
            if (!wholeNumber(argv[++i], 0xFFFFFFFFll, command)) {
                std::fprintf(stderr, "kavrik-simulator: --ignore takes a command number (not \"%s\")\n", argv[i]);
                return 2;
            }
            engineOptions.ignored.insert(static_cast<std::uint32_t>(command));
        } else if (arg == "--error" && hasValue) {
            const std::string value = argv[++i];
            const std::size_t colon = value.find(':');
            long long command = 0, code = 255;
            if (!wholeNumber(value.substr(0, colon).c_str(), 0xFFFFFFFFll, command)
                || (colon != std::string::npos && !wholeNumber(value.substr(colon + 1).c_str(), 0xFFFFFFFFll, code))) {
                std::fprintf(stderr, "kavrik-simulator: --error takes CMD or CMD:CODE, whole numbers (not \"%s\")\n", value.c_str());
                return 2;
            }
            engineOptions.errorReplies[static_cast<std::uint32_t>(command)] = static_cast<std::uint32_t>(code);
        } else if (arg == "--latency" && hasValue) {
            long long ms = 0;
            if (!wholeNumber(argv[++i], 60000, ms)) {
                std::fprintf(stderr, "kavrik-simulator: --latency takes 0 to 60000 milliseconds (not \"%s\")\n", argv[i]);
                return 2;
            }
            latency = std::chrono::milliseconds(ms);
        } else if (arg == "--ignore-extension-exchanges" && hasValue) {
            const std::string value = argv[++i];
            if (value != "absent" && value != "all") {
                std::fprintf(stderr, "kavrik-simulator: --ignore-extension-exchanges takes absent or all\n");
                return 2;
            }
            engineOptions.extensionExchanges =
                value == "all" ? txsim::ExtensionExchanges::IgnoreAll : txsim::ExtensionExchanges::IgnoreAbsent;
        } else if (arg == "--session-zero") {
            engineOptions.sessionZero = true;
        } else if (arg == "--replay" && hasValue) {
            auto replay = std::make_shared<txsim::Replay>();
            std::string error;
            if (!replay->load(argv[++i], error)) {
                std::fprintf(stderr, "kavrik-simulator: --replay: %s\n", error.c_str());
                return 2;
            }
            engineOptions.replay = replay;
        } else if (arg == "--mute") {
            mute = true;
        } else if (arg == "--log-frames") {
            headlessOptions.logFrames = true;
        } else if (arg == "--no-announce") {
            announce = false;
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else {
            unknown = arg;
        }
    }
    // In window mode anything else is left to Qt (-platform, -geometry ...).
    if (headless && !unknown.empty()) {
        std::fprintf(stderr, "kavrik-simulator: unknown option %s\n", unknown.c_str());
        usage(stderr);
        return 2;
    }

    txsim::DeviceEngine engine(engineOptions);
    txsim::PtyServer server(engine);
    std::string error;
    if (!server.open(error)) {
        std::fprintf(stderr, "kavrik-simulator: %s\n", error.c_str());
        return 1;
    }
    server.setMute(mute);
    server.setLatency(latency);
    if (announce) {
        headlessOptions.announcement = protocol::announceSimulator(server.slavePath(), error);
        if (headlessOptions.announcement.empty())
            std::fprintf(stderr, "kavrik-simulator: port not announced: %s\n", error.c_str());
    }
    activeServer = &server;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    int result = 0;
    if (headless) {
        result = txsim::runHeadless(engine, server, headlessOptions);
    } else {
        QApplication app(argc, argv);
        SimWindow window(engine, QString::fromStdString(server.slavePath()));
        std::atomic<bool> served{false};
        std::thread serving([&] {
            server.run(-1, [] { return true; });
            served = true;
        });
        // A signal stops the serving thread; the window follows it.
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &app, [&] {
            if (served)
                app.quit();
        });
        watch.start(100);
        window.show();
        result = app.exec();
        server.requestStop();
        serving.join();
    }
    activeServer = nullptr;
    protocol::withdrawSimulator(headlessOptions.announcement);
    return result;
}
