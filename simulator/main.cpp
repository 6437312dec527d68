// kavrik-simulator: a simulated ROBO TX controller on a pseudo-terminal, with
// a window (default) or headless for tests and benchmarks.
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
               "  --serial DIGITS     serial number for the console probe\n"
               "  --watchdog MS       outputs off after MS without exchange (0 = never; default 1000)\n"
               "  --mute              answer nothing (until the command \"unmute\")\n"
               "  --log-frames        headless: one line per received frame as well\n"
               "  --no-announce       do not list the port for the controller library\n"
               "Headless commands: drop [N], corrupt [N], split [MS], stray, mute, unmute,\n"
               "  hangup, ext K on|off, status, quit\n",
               out);
}

} // namespace

int main(int argc, char **argv)
{
    txsim::EngineOptions engineOptions;
    txsim::HeadlessOptions headlessOptions;
    bool headless = false, mute = false, announce = true;
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
            char *end = nullptr;
            errno = 0;
            const long long ms = std::strtoll(text, &end, 10);
            // strtoll alone would take "abc" as 0 (never) and skip blanks and signs.
            if (!std::isdigit(static_cast<unsigned char>(*text)) || *end || errno == ERANGE) {
                std::fprintf(stderr, "kavrik-simulator: --watchdog takes milliseconds as a whole number, 0 = never (not \"%s\")\n", text);
                return 2;
            }
            engineOptions.watchdog = std::chrono::milliseconds(ms);
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
