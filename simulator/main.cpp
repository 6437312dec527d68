// SPDX-License-Identifier: GPL-3.0-or-later
// kavrik-simulator: a simulated ROBO TX controller on a pseudo-terminal, or
// with --txt a ROBOTICS TXT on a TCP port, with a window (default) or
// headless for tests and benchmarks.
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
#include <QCommandLineParser>
#include <QFile>
#include <QTimer>

#include "common/display.h"
#include "rendezvous/simregistry.h"
#include "simulator/engine.h"
#include "simulator/headless.h"
#include "simulator/ptyserver.h"
#include "simulator/simwindow.h"
#include "simulator/tcpserver.h"
#include "simulator/txtengine.h"

namespace {


// What the command line asks for.
struct Settings {
    txsim::EngineOptions engine;
    txsim::HeadlessOptions headless;
    std::chrono::milliseconds latency{0};
    bool windowless = false;
    bool mute = false;
    bool announce = true;
    bool txt = false;
    std::string address = "127.0.0.1:65000";
    bool nameSet = false;
};

txsim::PtyServer *activePty = nullptr;
txsim::TcpServer *activeTcp = nullptr;

void onSignal(int)
{
    // requestStop() only writes to an eventfd: safe in a signal handler.
    if (activePty)
        activePty->requestStop();
    if (activeTcp)
        activeTcp->requestStop();
}

// A whole number from 0 to `max`: digits only, nothing after them.
bool wholeNumber(const QString &text, long long max, long long &value)
{
    bool ok = false;
    value = text.toLongLong(&ok, 10);
    // toLongLong alone would take "+5" and " 5".
    return ok && !text.isEmpty() && text.at(0).isDigit() && value <= max;
}

[[noreturn]] void refuse(const QString &message)
{
    std::fprintf(stderr, "kavrik-simulator: %s\n", qPrintable(message));
    std::exit(2);
}

void describe(QCommandLineParser &parser)
{
    QCoreApplication::setApplicationName(QStringLiteral("kavrik-simulator"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KAVRIK_VERSION));
    parser.setApplicationDescription(QStringLiteral(
        "A simulated ROBO TX controller on a pseudo-terminal, or with --txt [HOST:PORT] a ROBOTICS TXT\n"
        "on a TCP port (default 127.0.0.1:65000, port 0: any free one), with a window, or headless for tests.\n"
        "Headless commands: drop [N], corrupt [N], split [MS], stall [MS], stray, mute,\n"
        "unmute, hangup, ext K on|off, status, quit\n"
        "With --txt: mute, unmute, latency MS, split MS (answers a byte at a time; 0: whole),\n"
        "close (or hangup), reset, ext 1 on|off, status, quit\n"
        "Both: input K N closed|open (a switch on input IN of controller K: 0 the Master,\n"
        "1-8 an extension, with --txt 0-1), counter K N VALUE (counter CN's count, 0-65535).\n"
        "In the window a click on an input closes or opens its switch."));
    parser.addPositionalArgument(QStringLiteral("HOST:PORT"), QStringLiteral("With --txt: the address to listen on."),
                                 QStringLiteral("[HOST:PORT]"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("headless"), QStringLiteral("No window; JSON events on stdout, commands on stdin.")},
        {QStringLiteral("txt"),
         QStringLiteral("Be a ROBOTICS TXT on TCP (online protocol) instead of a ROBO TX on a pseudo-terminal.")},
        {QStringLiteral("extensions"), QStringLiteral("Number of extensions online (0-8, with --txt 0-1; default 0)."),
         QStringLiteral("N")},
        {QStringLiteral("name"),
         QStringLiteral("Controller name, up to 16 bytes (default \"ROBO TX-000\", with --txt \"TXT simulator\")."),
         QStringLiteral("TEXT")},
        {QStringLiteral("serial"), QStringLiteral("Serial number for the console probe (letters allowed)."),
         QStringLiteral("TEXT")},
        {QStringLiteral("watchdog"),
         QStringLiteral("Outputs off after MS without an exchange (0 = never; default 1000)."), QStringLiteral("MS")},
        {QStringLiteral("mute"), QStringLiteral("Answer nothing (until the command \"unmute\").")},
        {QStringLiteral("ignore"),
         QStringLiteral("Never answer command CMD (1 echo, 2 exchange, 5 config, 6 info, 7 status); may repeat."),
         QStringLiteral("CMD")},
        {QStringLiteral("error"),
         QStringLiteral("Answer command CMD with the reply code CODE (default 255), same TID; may repeat."),
         QStringLiteral("CMD[:CODE]")},
        {QStringLiteral("latency"), QStringLiteral("Send every answer MS late (0-60000)."), QStringLiteral("MS")},
        {QStringLiteral("ignore-extension-exchanges"),
         QStringLiteral("No answer to an exchange naming an extension that is off the bus (absent) or naming "
                        "any extension (all)."),
         QStringLiteral("absent|all")},
        {QStringLiteral("session-zero"), QStringLiteral("Keep the session id at 0 in every reply.")},
        {QStringLiteral("noise"),
         QStringLiteral("Answer the console probe and every request with text and bytes that form no frame.")},
        {QStringLiteral("replay"), QStringLiteral("Answer as the controller in a kavrik-txprobe report did."),
         QStringLiteral("REPORT")},
        {QStringLiteral("log-frames"), QStringLiteral("Headless: one line per received frame as well.")},
        {QStringLiteral("no-announce"), QStringLiteral("Do not list the port for the controller library.")},
    });
}

// The ROBO TX's own options: how the simulated controller deviates.
void readTxBehaviours(const QCommandLineParser &parser, txsim::EngineOptions &engine)
{
    long long n = 0;
    if (parser.isSet(QStringLiteral("serial")))
        engine.serial = parser.value(QStringLiteral("serial")).toStdString();
    for (const QString &text : parser.values(QStringLiteral("ignore"))) {
        if (!wholeNumber(text, 0xFFFFFFFFll, n))
            refuse(QStringLiteral("--ignore takes a command number (not \"%1\")").arg(text));
        engine.ignored.insert(static_cast<std::uint32_t>(n));
    }
    for (const QString &text : parser.values(QStringLiteral("error"))) {
        const int colon = text.indexOf(QLatin1Char(':'));
        long long command = 0, code = 255;
        if (!wholeNumber(text.left(colon), 0xFFFFFFFFll, command)
            || (colon >= 0 && !wholeNumber(text.mid(colon + 1), 0xFFFFFFFFll, code)))
            refuse(QStringLiteral("--error takes CMD or CMD:CODE, whole numbers (not \"%1\")").arg(text));
        engine.errorReplies[static_cast<std::uint32_t>(command)] = static_cast<std::uint32_t>(code);
    }
    if (parser.isSet(QStringLiteral("ignore-extension-exchanges"))) {
        const QString text = parser.value(QStringLiteral("ignore-extension-exchanges"));
        if (text != QLatin1String("absent") && text != QLatin1String("all"))
            refuse(QStringLiteral("--ignore-extension-exchanges takes absent or all"));
        engine.extensionExchanges =
            text == QLatin1String("all") ? txsim::ExtensionExchanges::IgnoreAll : txsim::ExtensionExchanges::IgnoreAbsent;
    }
    engine.sessionZero = parser.isSet(QStringLiteral("session-zero"));
    engine.noise = parser.isSet(QStringLiteral("noise"));
    if (parser.isSet(QStringLiteral("replay"))) {
        auto replay = std::make_shared<txsim::Replay>();
        std::string error;
        if (!replay->load(QFile::encodeName(parser.value(QStringLiteral("replay"))).toStdString(), error))
            refuse(QStringLiteral("--replay: %1").arg(QString::fromStdString(error)));
        engine.replay = replay;
    }
}

// The options into the engine's settings; a bad value ends the program
// with a message and status 2.
void readOptions(const QCommandLineParser &parser, Settings &settings)
{
    txsim::EngineOptions &engine = settings.engine;
    long long n = 0;
    settings.txt = parser.isSet(QStringLiteral("txt"));
    if (parser.isSet(QStringLiteral("extensions"))) {
        const int most = settings.txt ? protocol::txt::kMaxExtensions : protocol::kMaxExtensions;
        if (!wholeNumber(parser.value(QStringLiteral("extensions")), most, n))
            refuse(settings.txt ? QStringLiteral("--extensions takes 0 or 1 with --txt (a TXT takes one extension)")
                                : QStringLiteral("--extensions takes 0 to 8"));
        engine.extensions = static_cast<int>(n);
    }
    settings.nameSet = parser.isSet(QStringLiteral("name"));
    if (settings.nameSet)
        engine.name = parser.value(QStringLiteral("name")).toStdString().substr(0, 16);
    if (parser.isSet(QStringLiteral("watchdog"))) {
        const QString text = parser.value(QStringLiteral("watchdog"));
        if (!wholeNumber(text, std::numeric_limits<long long>::max(), n))
            refuse(QStringLiteral("--watchdog takes milliseconds as a whole number, 0 = never (not \"%1\")").arg(text));
        engine.watchdog = std::chrono::milliseconds(n);
    }
    if (parser.isSet(QStringLiteral("latency"))) {
        const QString text = parser.value(QStringLiteral("latency"));
        if (!wholeNumber(text, 60000, n))
            refuse(QStringLiteral("--latency takes 0 to 60000 milliseconds (not \"%1\")").arg(text));
        settings.latency = std::chrono::milliseconds(n);
    }
    if (settings.txt) {
        // The ROBO TX's behaviours mean nothing to a TXT: refused, not ignored.
        for (const char *option : {"serial", "ignore", "error", "ignore-extension-exchanges", "session-zero", "noise", "replay"}) {
            if (parser.isSet(QString::fromLatin1(option)))
                refuse(QStringLiteral("--%1 is not for --txt").arg(QLatin1String(option)));
        }
    } else {
        readTxBehaviours(parser, engine);
    }
    settings.headless.logFrames = parser.isSet(QStringLiteral("log-frames"));
    settings.windowless = parser.isSet(QStringLiteral("headless"));
    settings.mute = parser.isSet(QStringLiteral("mute"));
    settings.announce = !parser.isSet(QStringLiteral("no-announce"));
}

// Whether the command line asks for no window (or for help only), so that no
// display is needed.
bool withoutWindow(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"--headless", "-h", "-?", "--help", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], option) == 0)
                return true;
        }
    }
    return false;
}

// Reads the command line: help and version end the program here, and so do
// bad values (status 2). False, with the parser's message, when it refused
// the command line, which may be for the toolkit's own options.
bool readCommandLine(const QStringList &arguments, Settings &settings, QString &error)
{
    QCommandLineParser parser;
    describe(parser);
    if (!parser.parse(arguments)) {
        error = parser.errorText() + QLatin1Char('\n') + parser.helpText();
        return false;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    readOptions(parser, settings);
    const QStringList positional = parser.positionalArguments();
    if (!positional.isEmpty() && (!settings.txt || positional.size() > 1))
        refuse(QStringLiteral("unexpected argument %1").arg(positional.constLast()));
    if (!positional.isEmpty()) {
        std::string host, error;
        std::uint16_t port = 0;
        settings.address = positional.constFirst().toStdString();
        if (!txsim::TcpServer::parseAddress(settings.address, host, port, error))
            refuse(QStringLiteral("--txt %1").arg(QString::fromStdString(error)));
    }
    return true;
}

// The application object, and the settings. Bad values are refused before a
// window needs a display: the command line is read under a plain application
// first, and read again only when it holds the toolkit's own options
// (-platform ...), which the toolkit takes out.
std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv, Settings &settings)
{
    QString error;
    bool read = false;
    if (!withoutWindow(argc, argv)) {
        QCoreApplication early(argc, argv);
        read = readCommandLine(QCoreApplication::arguments(), settings, error);
        // Refused, and not for the toolkit's own options: with no display
        // the window could not even start to say so.
        if (!read && !displayToStartOn(argc, argv))
            refuse(error.trimmed());
    }
    std::unique_ptr<QCoreApplication> app;
    if (withoutWindow(argc, argv))
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    if (!read && !readCommandLine(QCoreApplication::arguments(), settings, error))
        refuse(error.trimmed());
    return app;
}

// The window in front, the port served on a thread of its own.
template <typename Engine, typename Server>
int runWithWindow(Engine &engine, Server &server)
{
    SimWindow window(engine, server);
    std::atomic<bool> served{false};
    std::thread serving([&] {
        server.run(-1, [] { return true; });
        served = true;
    });
    // A signal stops the serving thread; the window follows it.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, QCoreApplication::instance(), [&] {
        if (served)
            QCoreApplication::quit();
    });
    watch.start(100);
    window.show();
    const int result = QCoreApplication::exec();
    server.requestStop();
    serving.join();
    return result;
}

// Announces `where`, serves until the end, and withdraws the announcement.
template <typename Engine, typename Server>
int serve(Engine &engine, Server &server, Settings &settings, const std::string &where, Server *&active)
{
    std::string error;
    if (settings.announce) {
        settings.headless.announcement = rendezvous::announceSimulator(where, error);
        if (settings.headless.announcement.empty())
            std::fprintf(stderr, "kavrik-simulator: %s not announced: %s\n", where.c_str(), error.c_str());
    }
    active = &server;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    const int result =
        settings.windowless ? txsim::runHeadless(engine, server, settings.headless) : runWithWindow(engine, server);
    active = nullptr;
    rendezvous::withdrawSimulator(settings.headless.announcement);
    return result;
}

int runTx(Settings &settings)
{
    txsim::DeviceEngine engine(settings.engine);
    txsim::PtyServer server(engine);
    std::string error;
    if (!server.open(error)) {
        std::fprintf(stderr, "kavrik-simulator: %s\n", error.c_str());
        return 1;
    }
    server.setMute(settings.mute);
    server.setLatency(settings.latency);
    return serve(engine, server, settings, server.slavePath(), activePty);
}

int runTxt(Settings &settings)
{
    txsim::TxtOptions options;
    options.extension = settings.engine.extensions > 0;
    if (settings.nameSet)
        options.name = settings.engine.name;
    options.watchdog = settings.engine.watchdog;
    options.latency = settings.latency;
    txsim::TxtEngine engine(options);
    txsim::TcpServer server(engine);
    std::string error;
    if (!server.open(settings.address, error)) {
        std::fprintf(stderr, "kavrik-simulator: %s\n", error.c_str());
        return 1;
    }
    server.setMute(settings.mute);
    return serve(engine, server, settings, server.localAddress(), activeTcp);
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings;
    const std::unique_ptr<QCoreApplication> app = makeApplication(argc, argv, settings);
    return settings.txt ? runTxt(settings) : runTx(settings);
}
