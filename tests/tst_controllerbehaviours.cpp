// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "protocol/txt.h"
#include "tests/ftlibapi.h"
#include "tests/simprocess.h"

namespace {

namespace txt = protocol::txt;

const char *kLibrary = KAVRIK_BIN_DIR "/libftMscLib.so";

// The library's trace of one case, written to a file of its own.
class TraceFile {
public:
    explicit TraceFile(const QString &level)
    {
        qputenv("KAVRIK_FTLIB_TRACE_FILE", path().toUtf8());
        if (level.isEmpty())
            qunsetenv("KAVRIK_FTLIB_TRACE");
        else
            qputenv("KAVRIK_FTLIB_TRACE", level.toUtf8());
    }
    ~TraceFile()
    {
        qunsetenv("KAVRIK_FTLIB_TRACE_FILE");
        qunsetenv("KAVRIK_FTLIB_TRACE");
    }
    QString path() const { return dir.path() + "/trace.txt"; }
    QString text() const
    {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QTemporaryDir dir;
};

// A TXT on 127.0.0.1 that answers as the protocol says, but for the one
// fault a case asks of it; it remembers the last duty of the Master's O1.
class ScriptedTxt {
public:
    enum class Fault { None, StartAnsweredOtherwise, UndecodableAnswer, ByteByByte, UnaskedAnswer, NotATxt };

    explicit ScriptedTxt(Fault fault)
        : fault_(fault)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr *>(&address), size) == 0 && ::listen(listener_, 1) == 0
            && ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedTxt()
    {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }
    int duty() const { return duty_; }

private:
    void serve()
    {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return;
        std::vector<std::uint8_t> in;
        std::uint8_t buffer[512];
        ssize_t n;
        while ((n = ::read(client, buffer, sizeof buffer)) > 0) {
            in.insert(in.end(), buffer, buffer + n);
            std::size_t length = 0;
            while (in.size() >= 4 && txt::packetLength(in.data(), in.size(), length) == txt::Framing::Whole) {
                send(client, answer(std::vector<std::uint8_t>(in.begin(), in.begin() + long(length))));
                in.erase(in.begin(), in.begin() + long(length));
            }
        }
        ::close(client);
    }

    void send(int client, const std::vector<std::uint8_t> &bytes)
    {
        for (std::size_t i = 0; i < bytes.size();) {
            const std::size_t chunk = fault_ == Fault::ByteByByte ? 1 : bytes.size() - i;
            if (::write(client, bytes.data() + i, chunk) <= 0)
                return;
            i += chunk;
            if (fault_ == Fault::ByteByByte)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    std::vector<std::uint8_t> answer(const std::vector<std::uint8_t> &request)
    {
        const std::uint32_t id = txt::packetId(request.data());
        if (id == txt::kQueryStatus)
            return fault_ == Fault::NotATxt ? std::vector<std::uint8_t>{'H', 'T', 'T', 'P', '/', '1', '.', '0', ' '}
                                            : txt::statusReply({"scripted", 0x04070000});
        if (id == txt::kStartOnline) {
            commands_.reset();
            answers_.reset();
            return txt::idOnly(fault_ == Fault::StartAnsweredOtherwise ? txt::kStopOnlineReply : txt::kStartOnlineReply);
        }
        if (id != txt::kExchangeDataCmpr)
            return txt::idOnly(txt::replyIdFor(id));
        std::uint16_t mask = 0;
        std::vector<txt::Outputs> blocks;
        if (txt::readCompressedExchange(commands_, request.data(), request.size(), mask, blocks) == txt::CmprError::None)
            duty_ = blocks[0].duty[0];
        std::vector<std::uint8_t> reply = txt::compressedReply(answers_, {txt::Inputs{}}, 0);
        if (fault_ == Fault::UndecodableAnswer && ++exchanges_ == 5)
            reply[8] ^= 0xFF; // the CRC
        if (fault_ == Fault::UnaskedAnswer && ++exchanges_ == 5)
            reply.insert(reply.end(), reply.begin(), reply.end());
        return reply;
    }

    const Fault fault_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    txt::WordStream commands_;
    txt::WordStream answers_;
    int exchanges_ = 0;
    std::atomic<int> duty_{-1};
};

} // namespace

// libftMscLib.so against controllers that behave otherwise than the
// simulator's defaults: what a real ROBO TX may do that no public source
// settles, a port somebody else holds, and what the trace tells about it.
class TestControllerBehaviours : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void openTolerance_data();
    void openTolerance();
    void runTolerance_data();
    void runTolerance();
    void statusNotAskedAgain();
    void bluetoothEchoWindow_data();
    void bluetoothEchoWindow();
    void exclusiveWithinProcess();
    void exclusiveAcrossProcesses();
    void traceContents_data();
    void traceContents();
    void traceToAFifo_data();
    void traceToAFifo();
    void simulatorCommandInput();
    void txtOutOfStep_data();
    void txtOutOfStep();

private:
    FtLibApi api;
    QTemporaryDir simDir;
};

void TestControllerBehaviours::initTestCase()
{
    QVERIFY(simDir.isValid());
    qputenv("KAVRIK_SIM_DIR", simDir.path().toUtf8());
    QVERIFY2(api.load(kLibrary), dlerror());
    QCOMPARE(api.ftxInitLib(), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestControllerBehaviours::cleanup()
{
    for (const char *name : {"KAVRIK_FTLIB_EXTENSIONS", "KAVRIK_FTLIB_REPLY_TIMEOUT_MS", "KAVRIK_FTLIB_TRACE",
                             "KAVRIK_FTLIB_TRACE_FILE"})
        qunsetenv(name);
}

void TestControllerBehaviours::openTolerance_data()
{
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<uint>("status");
    QTest::addColumn<int>("withinMs");
    QTest::addColumn<QStringList>("traced");
    const uint ok = FTLIB_ERR_SUCCESS;
    QTest::newRow("ignores the information request")
        << QStringList{"--ignore", "6"} << ok << 2000 << QStringList{"no answer to the information request"};
    QTest::newRow("ignores the status request")
        << QStringList{"--ignore", "7"} << ok << 2000 << QStringList{"no answer to the status request"};
    QTest::newRow("answers 150 ms late") << QStringList{"--latency", "150"} << ok << 2000 << QStringList{};
    QTest::newRow("serial number with letters")
        << QStringList{"--serial", "0A1B2C3D4E5F"} << ok << 900 << QStringList{"serial number 0A1B2C3D4E5F"};
    QTest::newRow("keeps the session id at 0") << QStringList{"--session-zero"} << ok << 2000 << QStringList{};
    // The reply (L = 20, command 255) is in the trace, and nothing is retried.
    QTest::newRow("answers the status request with an error code")
        << QStringList{"--error", "7:255"} << uint(FTLIB_ERR_INIT_COM) << 1000
        << QStringList{"rx frame cmd 255 tid 3 sid 1: wrong command, request 7 expects 107: 02 55 00 14"};
    QTest::newRow("answers the echo with an error code")
        << QStringList{"--error", "1:0"} << uint(FTLIB_ERR_INIT_COM) << 1000 << QStringList{"wrong command, request 1"};
    QTest::newRow("ignores the echo")
        << QStringList{"--ignore", "1"} << uint(FTLIB_ERR_INIT_COM_TIMEOUT) << 2500 << QStringList{"no answer to the echo request"};
    // Something else than a controller: bytes come, but never a frame.
    QTest::newRow("answers noise") << QStringList{"--noise"} << uint(FTLIB_ERR_INIT_COM) << 2500
                                   << QStringList{"bytes that form no frame: not a ROBO TX"};
    // A slow link set by the environment: the open's time follows.
    QTest::newRow("reply timeout 1000 ms") << QStringList{"KAVRIK_FTLIB_REPLY_TIMEOUT_MS=1000"} << ok << 2000
                                           << QStringList{"replies awaited 1000 ms"};
    QTest::newRow("reply timeout 1500 ms") << QStringList{"KAVRIK_FTLIB_REPLY_TIMEOUT_MS=1500"} << ok << 2000
                                           << QStringList{"replies awaited 1500 ms"};
    // A TXT: late answers are waited for; one that keeps quiet is not asked
    // again (a late answer could not be told from the next one).
    const QStringList txt{"--txt", "127.0.0.1:0"};
    QTest::newRow("TXT answering 150 ms late") << txt + QStringList{"--latency", "150"} << ok << 1000
                                               << QStringList{"controller \"TXT simulator\", firmware 4.7.0"};
    QTest::newRow("TXT saying nothing") << txt + QStringList{"--mute"} << uint(FTLIB_ERR_INIT_COM_TIMEOUT) << 1000
                                        << QStringList{"no answer to the status query"};
    // ftrobopy_server on a TXT 4.0 gets the plain exchange.
    QTest::newRow("TXT 4.0 with ftrobopy_server") << txt + QStringList{"--name", "TX2013"} << ok << 1000
                                                  << QStringList{"ftrobopy_server: the Master alone, uncompressed"};
}

void TestControllerBehaviours::openTolerance()
{
    QFETCH(QStringList, device);
    QFETCH(uint, status);
    QFETCH(int, withinMs);
    QFETCH(QStringList, traced);
    // The library's variables among the device's options.
    for (const QString &variable : device.filter(QRegularExpression("^KAVRIK_[A-Z_]+=")))
        qputenv(variable.section('=', 0, 0).toUtf8(), variable.section('=', 1).toUtf8());
    device = device.filter(QRegularExpression("^(?!KAVRIK_)"));
    SimProcess sim;
    QVERIFY(sim.start(device, simDir.path()));
    TraceFile trace("1");
    QElapsedTimer timer;
    timer.start();
    uint32_t err = FTLIB_ERR_UNKNOWN;
    const FtHandle h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err);
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(err, uint32_t(status));
    QVERIFY2(elapsed < withinMs, qPrintable(QString::number(elapsed)));
    const QString text = trace.text();
    for (const QString &line : traced)
        QVERIFY2(text.contains(line), qPrintable(text));
    if (status != FTLIB_ERR_SUCCESS) {
        QCOMPARE(h, FtHandle(0));
        return;
    }
    // The controller is driven as usual afterwards.
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.SetOutPwmValues(h, 0, 2, 222), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 2, 222, 3000).isEmpty());
    QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 2, 0, 1000).isEmpty());
    QCOMPARE(sim.count("violation"), 0);
}

void TestControllerBehaviours::runTolerance_data()
{
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<QString>("during");
    QTest::addColumn<QString>("extensionsVariable");
    QTest::addColumn<QStringList>("traced");
    QTest::newRow("extension leaves, exchanges naming it unanswered")
        << QStringList{"--extensions", "1", "--ignore-extension-exchanges", "absent"} << "ext 1 off" << QString()
        << QStringList{"asking for their states again", "extensions online 0x00"};
    QTest::newRow("exchanges naming any extension unanswered")
        << QStringList{"--extensions", "1", "--ignore-extension-exchanges", "all"} << QString() << QString()
        << QStringList{"asking for their states again", "the Master alone until they answer again"};
    QTest::newRow("extensions off by the environment")
        << QStringList{"--extensions", "1", "--ignore-extension-exchanges", "all"} << QString() << "0"
        << QStringList{"extensions off"};
}

void TestControllerBehaviours::runTolerance()
{
    QFETCH(QStringList, device);
    QFETCH(QString, during);
    QFETCH(QString, extensionsVariable);
    QFETCH(QStringList, traced);
    SimProcess sim;
    QVERIFY(sim.start(device + QStringList{"--log-frames"}, simDir.path()));
    TraceFile trace("1");
    if (!extensionsVariable.isEmpty())
        qputenv("KAVRIK_FTLIB_EXTENSIONS", extensionsVariable.toUtf8());
    uint32_t err = FTLIB_ERR_UNKNOWN;
    const FtHandle h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err);
    QVERIFY(h);
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "config" && e["ta"] == 0; }, 3000).isEmpty());
    if (!during.isEmpty()) {
        QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "config" && e["ta"] == 1; }, 3000).isEmpty());
        QVERIFY(sim.command(during));
    }
    // The Master is still driven, and the link is not given up.
    QCOMPARE(api.SetOutPwmValues(h, 0, 4, 345), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 4, 345, 3000).isEmpty());
    const int exchanges = sim.count("frame", [](const QJsonObject &e) { return e["cmd"] == 2; });
    QVERIFY(waitUntil([&] { return sim.count("frame", [](const QJsonObject &e) { return e["cmd"] == 2; }) > exchanges + 20; }, 3000));
    QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
    const QString text = trace.text();
    for (const QString &line : traced)
        QVERIFY2(text.contains(line), qPrintable(text));
    QVERIFY2(!text.contains("link lost"), qPrintable(text));
    if (!extensionsVariable.isEmpty()) {
        // Extensions off: not even asked about, never named, never waited for.
        QCOMPARE(sim.count("frame", [](const QJsonObject &e) { return e["cmd"] == 7; }), 0);
        QCOMPARE(sim.count("config", [](const QJsonObject &e) { return e["ta"] == 1; }), 0);
        QVERIFY2(!text.contains("reply timeout") && !text.contains("no answer"), qPrintable(text));
        QVERIFY2(text.contains("replies awaited 200 ms"), qPrintable(text));
    }
}

void TestControllerBehaviours::statusNotAskedAgain()
{
    SimProcess sim;
    QVERIFY(sim.start({"--ignore", "7", "--log-frames"}, simDir.path()));
    uint32_t err = FTLIB_ERR_UNKNOWN;
    const FtHandle h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err);
    QVERIFY(h);
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    // 150 exchanges take 1.5 s: past the 1 s at which the states are polled.
    QVERIFY(waitUntil([&] { return sim.count("frame", [](const QJsonObject &e) { return e["cmd"] == 2; }) > 150; }, 5000));
    QCOMPARE(sim.count("frame", [](const QJsonObject &e) { return e["cmd"] == 7; }), 1);
    QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestControllerBehaviours::bluetoothEchoWindow_data()
{
    QTest::addColumn<int>("answersAfterMs");
    QTest::addColumn<int>("withinMs"); // as fast as before the open was bounded
    QTest::newRow("after 4 s") << 4000 << 5200;
    QTest::newRow("after 8 s") << 8000 << 9200;
}

// A Bluetooth link that forms late: the echo is sent again until it is
// answered, and the open then goes on at once, with its extension.
void TestControllerBehaviours::bluetoothEchoWindow()
{
    QFETCH(int, answersAfterMs);
    QFETCH(int, withinMs);
    SimProcess sim;
    QVERIFY(sim.start({"--mute", "--extensions", "1"}, simDir.path()));
    // An rfcomm port by its name: Bluetooth timing.
    QTemporaryDir dir;
    const QString rfcomm = dir.path() + "/rfcomm0";
    QVERIFY(QFile::link(sim.port, rfcomm));
    TraceFile trace("1");
    uint32_t err = FTLIB_ERR_UNKNOWN;
    FtHandle h = 0;
    QElapsedTimer timer;
    timer.start();
    qint64 opened = 0;
    std::thread opener([&] {
        h = api.ftxOpenComDevice(rfcomm.toUtf8().constData(), 38400, &err);
        opened = timer.elapsed();
    });
    QTest::qWait(answersAfterMs);
    const bool unmuted = sim.command("unmute");
    opener.join();
    QVERIFY(unmuted);
    QCOMPARE(err, uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(h);
    QVERIFY2(opened < withinMs, qPrintable(QString::number(opened)));
    const QString text = trace.text();
    // Everything that was asked was answered; nothing unasked is reported.
    QVERIFY2(!text.contains("no answer to the information") && !text.contains("no answer to the status"), qPrintable(text));
    QVERIFY2(text.contains("extension 1 \"ROBO TX-EXT1\""), qPrintable(text));
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.SetOutPwmValues(h, 1, 0, 123), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(1, 0, 123, 3000).isEmpty());
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestControllerBehaviours::exclusiveWithinProcess()
{
    SimProcess sim;
    QVERIFY(sim.start({}, simDir.path()));
    // Two threads at once: the library's own list of open ports cannot see
    // the other's open before it completes; the port's lock does.
    const QByteArray port = sim.port.toUtf8();
    uint32_t errA = FTLIB_ERR_UNKNOWN, errB = FTLIB_ERR_UNKNOWN;
    FtHandle a = 0, b = 0;
    std::thread first([&] { a = api.ftxOpenComDevice(port.constData(), 38400, &errA); });
    std::thread second([&] { b = api.ftxOpenComDevice(port.constData(), 38400, &errB); });
    first.join();
    second.join();
    QCOMPARE(int(a != 0) + int(b != 0), 1);
    QCOMPARE(a ? errB : errA, uint32_t(FTLIB_ERR_DEVICE_IS_OPEN));
    // Also when asked again afterwards, under another name of the same port.
    QTemporaryDir dir;
    QVERIFY(QFile::link(sim.port, dir.path() + "/ttyACM7"));
    uint32_t err = FTLIB_ERR_UNKNOWN;
    QCOMPARE(api.ftxOpenComDevice((dir.path() + "/ttyACM7").toUtf8().constData(), 38400, &err), FtHandle(0));
    QCOMPARE(err, uint32_t(FTLIB_ERR_DEVICE_IS_OPEN));
    QCOMPARE(api.ftxCloseDevice(a ? a : b), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestControllerBehaviours::exclusiveAcrossProcesses()
{
    SimProcess sim;
    QVERIFY(sim.start({}, simDir.path()));
    uint32_t err = FTLIB_ERR_UNKNOWN;
    const FtHandle h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err);
    QVERIFY(h);
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));

    // A second program is refused and told why, and the running link goes on.
    QProcess other;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KAVRIK_FTLIB_TRACE", "1");
    // Said at the process's first open already.
    env.insert("KAVRIK_FTLIB_CYCLE_MS", "0");
    other.setProcessEnvironment(env);
    other.start(KAVRIK_EXITPROBE, {kLibrary, sim.port});
    QVERIFY(other.waitForFinished(5000));
    QCOMPARE(other.exitCode(), 4);
    QCOMPARE(other.readAllStandardOutput().trimmed(), QByteArray("open failed 0xe0001102"));
    const QByteArray hint = other.readAllStandardError();
    QVERIFY2(hint.contains("in use") && hint.contains("ModemManager"), hint.constData());
    QVERIFY2(hint.contains("KAVRIK_FTLIB_CYCLE_MS=0 ignored"), hint.constData());
    QCOMPARE(sim.count("session"), 1);
    QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_SUCCESS));

    // Closed, the port is free again for another program; killed without a
    // close, it becomes free again as well.
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
    QProcess next;
    next.start(KAVRIK_EXITPROBE, {kLibrary, sim.port});
    QVERIFY(next.waitForReadyRead(5000));
    QCOMPARE(next.readLine().trimmed(), QByteArray("driving"));
    QCOMPARE(::kill(pid_t(next.processId()), SIGKILL), 0);
    QVERIFY(next.waitForFinished(3000));
    FtHandle again = 0;
    QVERIFY(waitUntil([&] { return (again = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err)) != 0; }, 3000));
    QCOMPARE(api.ftxCloseDevice(again), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestControllerBehaviours::traceContents_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");
    QTest::newRow("events, a corrupt reply")
        << "1" << "corrupt 1" << QStringList{"transfer started"} << QStringList{"tx cmd", "rx rejected", "rx frame"};
    QTest::newRow("frames, a corrupt reply")
        << "2" << "corrupt 1"
        << QStringList{"tx console probe: 0d 67 65 74", "console 59 bytes: 0d 0a", "tx cmd 1 tid 1 sid 0: 02 55 00 1c",
                       "rx frame cmd 101 tid 1 sid 1: answer: 02 55", "rx rejected bad checksum: 02 55 00 48"}
        << QStringList{};
    QTest::newRow("the file named alone") << "" << "corrupt 1" << QStringList{"transfer started"} << QStringList{"tx cmd"};
    // Seen by the read or by the next write, whichever comes first; either
    // way the trace says why.
    QTest::newRow("a hang-up") << "1" << "hangup"
                               << QStringList{"device hung up || write failed, link lost: Input/output error (errno 5)"}
                               << QStringList{};
    // The operating system's reason comes along with a failed call.
    QTest::newRow("errno of a failed open")
        << "1" << "missing" << QStringList{"cannot open: No such file or directory (errno 2)"} << QStringList{};
}

void TestControllerBehaviours::traceContents()
{
    QFETCH(QString, level);
    QFETCH(QString, fault);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);
    SimProcess sim;
    QVERIFY(sim.start({}, simDir.path()));
    TraceFile trace(level);
    uint32_t err = FTLIB_ERR_UNKNOWN;
    const QString port = fault == "missing" ? simDir.path() + "/ttyACM42" : sim.port;
    const FtHandle h = api.ftxOpenComDevice(port.toUtf8().constData(), 38400, &err);
    if (fault == "missing") {
        QCOMPARE(err, uint32_t(FTLIB_ERR_OPEN_COM));
    } else {
        QVERIFY(h);
        QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
        QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "config"; }, 3000).isEmpty());
        QVERIFY(sim.command(fault));
        if (fault == "hangup") {
            QVERIFY(waitUntil([&] { return api.GetComStatus(h) == FTLIB_ERR_OPEN_COM; }, 2000));
        } else {
            QCOMPARE(api.SetOutPwmValues(h, 0, 1, 99), uint32_t(FTLIB_ERR_SUCCESS));
            QVERIFY(!sim.waitOutput(0, 1, 99).isEmpty());
        }
        QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
    }
    const QString text = trace.text();
    for (const QString &line : present) {
        const QStringList alternatives = line.split(" || ");
        QVERIFY2(std::any_of(alternatives.cbegin(), alternatives.cend(),
                             [&](const QString &one) { return text.contains(one); }),
                 qPrintable(line + "\n---\n" + text));
    }
    for (const QString &line : absent)
        QVERIFY2(!text.contains(line), qPrintable(line + "\n---\n" + text));
    // Every line carries its time, on the clock of the simulator's events.
    const QRegularExpression stamp("^ftMscLib \\[\\d+\\.\\d{6}\\] ");
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts))
        QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
}

void TestControllerBehaviours::traceToAFifo_data()
{
    QTest::addColumn<bool>("reader"); // a reader holds the FIFO open, never reading
    QTest::newRow("nobody opened it") << false;
    QTest::newRow("nobody reads it") << true;
}

// The trace file named is a FIFO: neither the open nor the program's end
// waits for it.
void TestControllerBehaviours::traceToAFifo()
{
    QFETCH(bool, reader);
    SimProcess sim;
    QVERIFY(sim.start({}, simDir.path()));
    QTemporaryDir dir;
    const QByteArray fifo = (dir.path() + "/trace").toUtf8();
    QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
    const int held = reader ? ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    QVERIFY(!reader || held >= 0);
    const auto closeReader = qScopeGuard([held] {
        if (held >= 0)
            ::close(held);
    });
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KAVRIK_FTLIB_TRACE_FILE", QString::fromUtf8(fifo));
    // Every frame and byte: far more than a FIFO holds.
    env.insert("KAVRIK_FTLIB_TRACE", "2");
    program.setProcessEnvironment(env);
    program.start(KAVRIK_EXITPROBE, {kLibrary, sim.port});
    QVERIFY(program.waitForReadyRead(5000));
    QCOMPARE(program.readLine().trimmed(), QByteArray("driving"));
    QVERIFY(!sim.waitOutput(0, 0, 512, 3000).isEmpty());
    // A second of exchanges, traced at the frame level.
    sim.waitFor([](const QJsonObject &) { return false; }, 1000);
    program.write("exit\n");
    QVERIFY(program.waitForFinished(3000));
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(!sim.waitOutput(0, 0, 0, 1000).isEmpty());
}

void TestControllerBehaviours::simulatorCommandInput()
{
    SimProcess sim;
    QVERIFY(sim.start({}, simDir.path()));
    // Bytes that are not UTF-8 and a line of 8 MB: the error event is still
    // valid JSON, and the next command is answered without delay.
    sim.send(QByteArray("drop \xff\xfe\x01\"") + QByteArray(8 << 20, 'x') + "\n");
    const QJsonObject error = sim.waitFor([](const QJsonObject &e) { return e["event"] == "error"; }, 10000);
    QVERIFY(!error.isEmpty());
    const QString command = error["command"].toString();
    const QString expected = QString("drop ") + QChar(0xFF) + QChar(0xFE) + QChar(0x01) + "\"xxx";
    QVERIFY2(command.startsWith(expected), qPrintable(command.left(20)));
    QVERIFY(command.size() <= 1024);
    QVERIFY(!sim.status().isEmpty());
    // Counts saturate instead of wrapping: a huge one drops everything.
    QVERIFY(sim.command("drop 99999999999999999999999"));
    uint32_t err = FTLIB_ERR_UNKNOWN;
    QCOMPARE(api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err), FtHandle(0));
    QCOMPARE(err, uint32_t(FTLIB_ERR_INIT_COM_TIMEOUT));
}

QTEST_GUILESS_MAIN(TestControllerBehaviours)
#include "tst_controllerbehaviours.moc"

void TestControllerBehaviours::txtOutOfStep_data()
{
    using Fault = ScriptedTxt::Fault;
    QTest::addColumn<int>("fault");
    QTest::addColumn<uint>("status"); // of the open, or GetComStatus afterwards
    QTest::addColumn<QString>("traced");
    const uint lost = FTLIB_ERR_INIT_COM;
    // TCP brings bytes, not packets: an answer in pieces is taken whole.
    QTest::newRow("every answer byte by byte") << int(Fault::ByteByByte) << uint(FTLIB_ERR_SUCCESS) << "online";
    // No transaction ids: a stream out of step cannot be mended, only given
    // up, with zeros written as it goes.
    QTest::newRow("StartOnline answered otherwise") << int(Fault::StartAnsweredOtherwise) << lost
                                                    << "packet 0xfbf600d2 does not answer StartOnline";
    QTest::newRow("an answer that does not decode") << int(Fault::UndecodableAnswer) << lost
                                                    << "compressed answer refused: CRC";
    QTest::newRow("an answer nobody asked for") << int(Fault::UnaskedAnswer) << lost << "does not answer";
    QTest::newRow("not a TXT at all") << int(Fault::NotATxt) << lost << "none of the TXT's";
}

// A TXT whose answers do not follow the requests loses the link at once
// (its "Ошибка" box follows), and the open of something else than a TXT
// fails.
void TestControllerBehaviours::txtOutOfStep()
{
    QFETCH(int, fault);
    QFETCH(uint, status);
    QFETCH(QString, traced);
    ScriptedTxt device{ScriptedTxt::Fault(fault)};
    TraceFile trace("1");
    uint32_t err = FTLIB_ERR_UNKNOWN;
    const FtHandle h = api.ftxOpenComDevice(device.address().toUtf8().constData(), 38400, &err);
    if (ScriptedTxt::Fault(fault) == ScriptedTxt::Fault::NotATxt) {
        QCOMPARE(err, uint32_t(status));
        QVERIFY2(trace.text().contains(traced), qPrintable(trace.text()));
        return;
    }
    QVERIFY2(h, qPrintable(QString::number(err, 16)));
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.SetOutPwmValues(h, 0, 0, 444), uint32_t(FTLIB_ERR_SUCCESS));
    if (status == FTLIB_ERR_SUCCESS) {
        QVERIFY(waitUntil([&] { return device.duty() == 444; }, 2000));
        QVERIFY(waitUntil([&] { return trace.text().contains(traced); }, 1000));
        QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_SUCCESS));
    } else {
        QVERIFY(waitUntil([&] { return api.GetComStatus(h) == status; }, 1000));
        QVERIFY2(trace.text().contains(traced), qPrintable(trace.text()));
    }
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
    // Whatever was driven is at 0 when it is over.
    QVERIFY(device.duty() <= 0);
}
