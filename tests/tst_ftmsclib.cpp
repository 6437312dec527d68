// SPDX-License-Identifier: GPL-3.0-or-later
#include <csignal>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "tests/ftlibapi.h"
#include "tests/simprocess.h"
#include "tests/testcgroup.h"

namespace {

const char *kLibrary = KAVRIK_BIN_DIR "/libftMscLib.so";

int countEntries(const char *dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

// The children of a process, zombies included.
QList<pid_t> childrenOf(pid_t parent)
{
    const QByteArray ppid = QByteArray::number(parent);
    QList<pid_t> children;
    for (const QString &pid : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs)) {
        QFile stat("/proc/" + pid + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...", and the name may hold anything.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1] == ppid)
            children.append(pid_t(pid.toInt()));
    }
    return children;
}

int countChildren()
{
    return childrenOf(::getpid()).size();
}

// The guardians a process started.
QList<pid_t> guardiansOf(pid_t program)
{
    QList<pid_t> guardians;
    for (const pid_t child : childrenOf(program)) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(child));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith("ftmsclib-guard"))
            guardians.append(child);
    }
    return guardians;
}

// Busy until `us` microseconds have passed: a sleep would take longer.
void spin(qint64 us)
{
    const qint64 until = monotonicMicroseconds() + us;
    while (monotonicMicroseconds() < until) {
    }
}

// Runs in a network namespace of its own (unshare), so that the search's
// traffic stays inside: a veth pair joins it (kvh0) to a second namespace
// (kvt0) that plays the TXT's side with $PEER's addresses and the servers of
// $SERVE; that side, and its link, last until this script ends (its fifo is
// their stdin). Prints the search probe's lines, "ready N" for the servers
// that started and "sent N": the packets that left through kvh0 meanwhile.
const char *kTxtNetworks = R"sh(set -eu
ip link set lo up
mkfifo "$D/up" "$D/go" "$D/ready" "$D/hold"
unshare -n sh -c 'echo > "$D/up"; read go < "$D/go"; set -e
  ip link set lo up; eval "$PEER"
  exec 3< "$D/hold" > "$D/ready"; eval "$SERVE"; cat <&3; wait' &
read up < "$D/up"
ip link add name kvh0 type veth peer name kvt0 netns $!
# Nothing leaves but what the search sends: no IPv6 of the link's own.
if [ -e /proc/sys/net/ipv6/conf/kvh0/disable_ipv6 ]; then echo 1 > /proc/sys/net/ipv6/conf/kvh0/disable_ipv6; fi
eval "$HOST"
exec 5<> "$D/hold"
echo > "$D/go"
exec 4< "$D/ready"
started=0
while [ $started -lt $SERVERS ] && read line <&4; do started=$((started + 1)); done
echo "ready $started"
sent() { set -- $(sed -n 's/^ *kvh0://p' /proc/net/dev); echo ${10}; }
before=$(sent)
# A search that hangs is ended, and holds nothing of the TXT's side.
timeout 10 "$PROBE" "$LIB" list ${OPEN:+"$OPEN"} 5>&-
echo "sent $(($(sent) - before))"
)sh";

// How this test makes network namespaces of its own: the options of
// unshare, as any user where user namespaces are allowed, else as root;
// empty, with unshare's complaint in `why`, where neither works.
QStringList namespaceOptions(const QProcessEnvironment &env, QString &why)
{
    QProcess unshare;
    unshare.setProcessEnvironment(env);
    for (const QString &options : {QStringLiteral("-rn"), QStringLiteral("-n")}) {
        if (options == "-n" && ::geteuid() != 0)
            break;
        unshare.start("unshare", {options, "true"});
        if (unshare.waitForFinished(5000) && unshare.exitStatus() == QProcess::NormalExit && unshare.exitCode() == 0)
            return {options};
        if (why.isEmpty())
            why = QString::fromLocal8Bit(unshare.readAllStandardError().trimmed());
    }
    return {};
}

// The TXT side's servers ("sim ADDRESS [OPTIONS]", "garbage ADDRESS",
// "reset ADDRESS") as the commands kTxtNetworks starts there.
QString serverCommands(const QStringList &servers)
{
    QString commands;
    for (const QString &server : servers) {
        const QString how = server.section(' ', 0, 0), rest = server.section(' ', 1);
        commands += (how == "sim" ? KAVRIK_BIN_DIR "/kavrik-simulator --headless --watchdog 0 --no-announce --txt " + rest
                                  : KAVRIK_SEARCHPROBE " answer " + rest + " " + how)
            + " <&3 & ";
    }
    return commands + ":";
}

} // namespace

// libftMscLib.so through its C entry points, talking to the simulator over a
// pseudo-terminal.
class TestFtMscLib : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void entryPoints();
    void lifecycle();
    void versionText_data();
    void versionText();
    void foreignHandles_data();
    void foreignHandles();
    void openFailures_data();
    void openFailures();
    void openWithoutAnswer();
    void lateEchoAnswer();
    void openAccessDenied();
    void portListWithSimulator();
    void portClassification_data();
    void portClassification();
    void txtPortSearch_data();
    void txtPortSearch();
    void transferSession();
    void txtSession_data();
    void txtSession();
    void outputArguments_data();
    void outputArguments();
    void bothDirectionsHeld();
    void endSwitches_data();
    void endSwitches();
    void extensionComingOnline();
    void setterDoesNotWaitForReplies();
    void recoverableFaults_data();
    void recoverableFaults();
    void extensionRepliesLost_data();
    void extensionRepliesLost();
    void linkLost_data();
    void linkLost();
    void nothingLeftBehind_data();
    void nothingLeftBehind();
    void exitSendsZeros();
    void fatalSignalSendsZeros_data();
    void fatalSignalSendsZeros();
    void withoutGuardian_data();
    void withoutGuardian();
    void simulatorWatchdogReport();
    void simulatorOutputUnread();
    void simulatorRejectsBadWatchdog_data();
    void simulatorRejectsBadWatchdog();

private:
    // Starts a simulator and a running transfer on it; 0 on failure.
    FtHandle openRunning(SimProcess &sim, const QStringList &args = {});

    FtLibApi api;
    QTemporaryDir simDir;
};

void TestFtMscLib::initTestCase()
{
    QVERIFY(simDir.isValid());
    // Port searches must see this run's simulators only, and ask no TXT on
    // this machine's own network (txtPortSearch makes networks of its own).
    qputenv("KAVRIK_SIM_DIR", simDir.path().toUtf8());
    qputenv("KAVRIK_FTLIB_TXT_SEARCH", "0");
    QVERIFY2(api.load(kLibrary), dlerror());
}

FtHandle TestFtMscLib::openRunning(SimProcess &sim, const QStringList &args)
{
    if (!sim.start(args, simDir.path()))
        return 0;
    uint32_t status = FTLIB_ERR_UNKNOWN;
    const FtHandle h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &status);
    if (!h || status != FTLIB_ERR_SUCCESS || api.ftxStartTransferArea(h) != FTLIB_ERR_SUCCESS)
        return 0;
    if (sim.waitFor([](const QJsonObject &e) { return e["event"] == "config" && e["ta"] == 0; }, 3000).isEmpty())
        return 0;
    return h;
}

void TestFtMscLib::entryPoints()
{
    QCOMPARE(api.resolved, 13);
    // Nothing but the C entry points is exported: the library's dynamic
    // symbol table holds exactly them.
    QProcess nm;
    nm.start(QStringLiteral("nm"), {"-D", "--defined-only", "--format=posix", kLibrary});
    QVERIFY(nm.waitForFinished(10000));
    QCOMPARE(nm.exitCode(), 0);
    QStringList exported;
    for (const QByteArray &line : nm.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            exported << QString::fromLatin1(line.left(line.indexOf(' ')));
    }
    exported.sort();
#define KAVRIK_FTLIB_NAME(name) QStringLiteral(#name),
    QStringList entryPoints{FTLIB_ENTRY_POINTS(KAVRIK_FTLIB_NAME)};
#undef KAVRIK_FTLIB_NAME
    // ...and the two of its own that a program may look up.
    entryPoints << QStringLiteral("ftxGetOnlineExtensions") << QStringLiteral("ftxGetDeviceKind")
                << QStringLiteral("SetFtEndSwitches") << QStringLiteral("GetFtInputState");
    entryPoints.sort();
    QCOMPARE(exported, entryPoints);
}

void TestFtMscLib::lifecycle()
{
    uint32_t status = 0;
    QCOMPARE(api.ftxOpenComDevice("/dev/null", 38400, &status), FtHandle(0));
    QCOMPARE(status, uint32_t(FTLIB_ERR_LIB_IS_NOT_INITIALIZED));
    QCOMPARE(api.GetComStatus(1), uint32_t(FTLIB_ERR_LIB_IS_NOT_INITIALIZED));
    QCOMPARE(api.ftxCloseLib(), uint32_t(FTLIB_ERR_LIB_IS_NOT_INITIALIZED));
    QCOMPARE(api.ftxInitLib(), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxInitLib(), uint32_t(FTLIB_ERR_LIB_IS_INITIALIZED));

    // Closing the library closes its devices.
    SimProcess sim;
    const FtHandle h = openRunning(sim);
    QVERIFY(h);
    QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "frame" || e["event"] == "config"; }, 1000, 0).isEmpty());
    QCOMPARE(api.SetOutPwmValues(h, 0, 5, 222), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 5, 222).isEmpty());
    QCOMPARE(api.ftxCloseLib(), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 5, 0, 100).isEmpty());
    QCOMPARE(api.ftxInitLib(), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_UNKNOWN_DEVICE_HANDLE));
}

void TestFtMscLib::versionText_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<uint>("result");
    QTest::newRow("exact 23 bytes") << 23 << uint(FTLIB_ERR_SUCCESS);
    QTest::newRow("large") << 128 << uint(FTLIB_ERR_SUCCESS);
    QTest::newRow("no room for the zero") << 22 << uint(FTLIB_ERR_INVALID_PARAM);
    QTest::newRow("empty") << 0 << uint(FTLIB_ERR_INVALID_PARAM);
    QTest::newRow("null buffer") << -1 << uint(FTLIB_ERR_INVALID_PARAM);
}

void TestFtMscLib::versionText()
{
    QFETCH(int, size);
    QFETCH(uint, result);
    QByteArray buffer(130, 'x');
    QCOMPARE(api.ftxGetLibVersionStr(size < 0 ? nullptr : buffer.data(), uint32_t(qMax(size, 0))), uint32_t(result));
    if (result == FTLIB_ERR_SUCCESS) {
        // The program compares all 23 bytes, the zero included.
        QCOMPARE(std::memcmp(buffer.constData(), "01.05.11  (2012/02/19)", 23), 0);
        QCOMPARE(buffer.at(23), 'x');
    } else {
        QCOMPARE(buffer, QByteArray(130, 'x'));
    }
    QCOMPARE(api.ftxGetLibVersion(), uint32_t(0x0001050B));
}

void TestFtMscLib::foreignHandles_data()
{
    QTest::addColumn<uint>("handle");
    QTest::newRow("zero") << 0u;
    QTest::newRow("never issued") << 0x7777u;
    QTest::newRow("an error code") << uint(FTLIB_ERR_UNKNOWN_DEVICE_HANDLE);
}

void TestFtMscLib::foreignHandles()
{
    QFETCH(uint, handle);
    const uint32_t unknown = FTLIB_ERR_UNKNOWN_DEVICE_HANDLE;
    QCOMPARE(api.ftxStartTransferArea(handle), unknown);
    QCOMPARE(api.ftxStopTransferArea(handle), unknown);
    QCOMPARE(api.SetOutPwmValues(handle, 0, 0, 100), unknown);
    QCOMPARE(api.SetFtMotorConfig(handle, 0, 0, true), unknown);
    QCOMPARE(api.GetComStatus(handle), unknown);
    QCOMPARE(api.ftxCloseDevice(handle), unknown);
}

void TestFtMscLib::openFailures_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<uint>("status");
    QTemporaryDir dir;
    QTest::newRow("missing device") << simDir.path() + "/ttyACM99" << uint(FTLIB_ERR_OPEN_COM);
    QTest::newRow("regular file") << QString(KAVRIK_BIN_DIR "/libftMscLib.so") << uint(FTLIB_ERR_OPEN_COM);
    QTest::newRow("folder") << simDir.path() << uint(FTLIB_ERR_OPEN_COM);
    QTest::newRow("empty") << QString("") << uint(FTLIB_ERR_INVALID_PARAM);
    QTest::newRow("blank only") << QString(" ROBO TX") << uint(FTLIB_ERR_INVALID_PARAM);
    QTest::newRow("null") << QString() << uint(FTLIB_ERR_INVALID_PARAM);
}

void TestFtMscLib::openFailures()
{
    QFETCH(QString, port);
    QFETCH(uint, status);
    const QByteArray path = port.toUtf8();
    uint32_t err = 0;
    QCOMPARE(api.ftxOpenComDevice(port.isNull() ? nullptr : path.constData(), 38400, &err), FtHandle(0));
    QCOMPARE(err, uint32_t(status));
    // The status pointer is optional.
    QCOMPARE(api.ftxOpenComDevice(port.isNull() ? nullptr : path.constData(), 38400, nullptr), FtHandle(0));
}

void TestFtMscLib::openWithoutAnswer()
{
    SimProcess sim;
    QVERIFY(sim.start({"--mute"}, simDir.path()));
    QElapsedTimer timer;
    timer.start();
    uint32_t err = 0;
    QCOMPARE(api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err), FtHandle(0));
    QCOMPARE(err, uint32_t(FTLIB_ERR_INIT_COM_TIMEOUT));
    // Console probe (1 s) plus three echo attempts of 200 ms.
    QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
    // The port was released: a later open succeeds once the device answers.
    QVERIFY(sim.command("unmute"));
    const FtHandle h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err);
    QVERIFY(h);
    QCOMPARE(api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err), FtHandle(0));
    QCOMPARE(err, uint32_t(FTLIB_ERR_DEVICE_IS_OPEN));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

// Every answer comes 300 ms late, after its 200 ms timeout: the first
// echo's answer arrives while the repeated echo (which opens a session anew)
// waits. The open goes on at once, and the transfer goes on in the
// device's session, the one the last answer names.
void TestFtMscLib::lateEchoAnswer()
{
    SimProcess sim;
    QVERIFY(sim.start({"--latency", "300", "--log-frames"}, simDir.path()));
    uint32_t status = FTLIB_ERR_UNKNOWN;
    const FtHandle h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &status);
    QVERIFY(h);
    QCOMPARE(status, uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(sim.count("session"), 2);
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    const QJsonObject config = sim.waitFor([](const QJsonObject &e) { return e["event"] == "frame" && e["cmd"] == 5; }, 1000, 0);
    QVERIFY(!config.isEmpty());
    int last = 0;
    for (const QJsonObject &e : qAsConst(sim.events)) {
        if (e["event"] == "session")
            last = e["sid"].toInt();
    }
    QCOMPARE(config["sid"].toInt(), last);
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestFtMscLib::openAccessDenied()
{
    QTemporaryDir dir;
    const QByteArray path = (dir.path() + "/ttyACM0").toUtf8();
    QFile file(QString::fromUtf8(path));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(::chmod(path.constData(), 0) == 0);
    if (::geteuid() != 0) {
        uint32_t err = 0;
        QCOMPARE(api.ftxOpenComDevice(path.constData(), 38400, &err), FtHandle(0));
        QCOMPARE(err, uint32_t(FTLIB_ERR_ACCESS_DENIED));
        return;
    }
    // Root opens anything: check from a child that gave up its privileges.
    ::chmod(dir.path().toUtf8().constData(), 0755);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        uint32_t err = 0;
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        const FtHandle h = dropped ? api.ftxOpenComDevice(path.constData(), 38400, &err) : 1;
        ::_exit(h == 0 && err == FTLIB_ERR_ACCESS_DENIED ? 0 : 1);
    }
    int wstatus = 0;
    QCOMPARE(::waitpid(child, &wstatus, 0), child);
    QVERIFY(WIFEXITED(wstatus));
    QCOMPARE(WEXITSTATUS(wstatus), 0);
}

void TestFtMscLib::portListWithSimulator()
{
    SimProcess sim;
    QVERIFY(sim.start({}, simDir.path()));
    // A leftover announcement of a simulator that is gone is not listed.
    QFile stale(simDir.path() + "/999999.port");
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write(sim.port.toUtf8() + "\n");
    stale.close();

    const uint32_t count = api.GetAvailableComPorts(FT_PORTS_ALL);
    QVERIFY(count >= 1 && count < 0xE0000000u);
    QByteArray buffer(256, '\0');
    int found = -1;
    for (uint32_t i = 0; i < count; ++i) {
        QCOMPARE(api.GetAvailableComPorts(FT_PORTS_ALL), count);
        QCOMPARE(api.EnumComPorts(i, buffer.data(), uint32_t(buffer.size())), i);
        if (QString(buffer.constData()) == sim.port + " ROBO TX simulator") {
            QCOMPARE(found, -1);
            found = int(i);
        }
    }
    QVERIFY(found >= 0);
    QVERIFY(!QFile::exists(stale.fileName()));

    const QByteArray entry = (sim.port + " ROBO TX simulator").toUtf8();
    QByteArray small(entry.size(), 'x');
    QCOMPARE(api.EnumComPorts(uint32_t(found), small.data(), uint32_t(small.size())), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(small, QByteArray(entry.size(), 'x'));
    QCOMPARE(api.EnumComPorts(count, buffer.data(), 256), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.EnumComPorts(uint32_t(found), nullptr, 256), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.GetAvailableComPorts(7), uint32_t(FTLIB_ERR_INVALID_PARAM));

    // The entry opens after cutting it at the first blank, as the program does.
    uint32_t err = 0;
    const FtHandle h = api.ftxOpenComDevice(entry.left(entry.indexOf(' ')).constData(), 38400, &err);
    QVERIFY(h);
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));

    // A simulator that hung up is no longer listed: its pty number may go to
    // somebody's terminal next.
    QVERIFY(sim.command("hangup"));
    QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "hangup"; }, 2000).isEmpty());
    const uint32_t after = api.GetAvailableComPorts(FT_PORTS_ALL);
    for (uint32_t i = 0; i < after; ++i) {
        QCOMPARE(api.EnumComPorts(i, buffer.data(), uint32_t(buffer.size())), i);
        QVERIFY2(!QString(buffer.constData()).startsWith(sim.port + " "), buffer.constData());
    }

    // A TXT simulator is listed by the address it listens on.
    SimProcess txt;
    QVERIFY(txt.start({"--txt", "127.0.0.1:0"}, simDir.path()));
    const QString txtEntry = txt.port + " ROBOTICS TXT simulator";
    int listed = 0;
    for (uint32_t i = 0, n = api.GetAvailableComPorts(FT_PORTS_ALL); i < n; ++i) {
        QCOMPARE(api.EnumComPorts(i, buffer.data(), uint32_t(buffer.size())), i);
        listed += QString(buffer.constData()) == txtEntry;
    }
    QCOMPARE(listed, 1);
}

void TestFtMscLib::portClassification_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("expected");
    // A product name of 200 two-byte characters is cut to fit the program's
    // 256 bytes, at a character, and the ports after it are still there.
    const QString cut = "/dev/ttyUSB1 " + QString(119, QChar(0x416)) + "...";
    QTest::newRow("all") << int(FT_PORTS_ALL)
                         << QStringList{"/dev/ttyACM1 ROBO TX Controller", "/dev/ttyACM2 ROBO TX Controller",
                                        "/dev/ttyACM10 ROBO TX Controller", "/dev/rfcomm0 Bluetooth",
                                        "/dev/ttyACM0 Arduino Uno", "/dev/ttyUSB0 FT232R USB UART", cut,
                                        "/dev/ttyUSB2 CP2102? UART"};
    QTest::newRow("USB") << int(FT_PORTS_USB)
                         << QStringList{"/dev/ttyACM1 ROBO TX Controller", "/dev/ttyACM2 ROBO TX Controller",
                                        "/dev/ttyACM10 ROBO TX Controller"};
    QTest::newRow("Bluetooth") << int(FT_PORTS_BLUETOOTH) << QStringList{"/dev/rfcomm0 Bluetooth"};
}

void TestFtMscLib::portClassification()
{
    QFETCH(int, mode);
    QFETCH(QStringList, expected);
    // A small sysfs: ttys link to their USB interfaces, whose parents carry the ids.
    QTemporaryDir sys;
    QTemporaryDir noSimulators;
    auto usbDevice = [&](const QString &dev, const char *vendor, const char *product, const char *name) {
        const QString dir = sys.path() + "/devices/usb1/" + dev;
        QDir().mkpath(dir + "/" + dev + ":1.0");
        for (auto [file, text] : {std::pair{"idVendor", vendor}, {"idProduct", product}, {"product", name}}) {
            QFile f(dir + "/" + file);
            f.open(QIODevice::WriteOnly);
            f.write(QByteArray(text) + "\n");
        }
        return dir + "/" + dev + ":1.0";
    };
    auto tty = [&](const QString &name, const QString &deviceDir) {
        const QString dir = sys.path() + "/class/tty/" + name;
        QDir().mkpath(dir);
        if (!deviceDir.isEmpty())
            QVERIFY(QFile::link(deviceDir, dir + "/device"));
    };
    tty("ttyACM0", usbDevice("1-1", "2341", "0043", "Arduino Uno"));
    tty("ttyACM1", usbDevice("1-2", "221d", "1000", "ROBO TX Controller"));
    tty("ttyACM10", usbDevice("1-3", "221d", "1000", "ROBO TX Controller"));
    tty("ttyACM2", usbDevice("1-4", "221d", "1000", "ROBO TX Controller"));
    const QString ftdi = usbDevice("1-5", "0403", "6001", "FT232R USB UART");
    QDir().mkpath(ftdi + "/ttyUSB0");
    tty("ttyUSB0", ftdi + "/ttyUSB0");
    const QByteArray longName = QString(200, QChar(0x416)).toUtf8();
    const QString chatty = usbDevice("1-6", "1a86", "7523", longName.constData());
    QDir().mkpath(chatty + "/ttyUSB1");
    tty("ttyUSB1", chatty + "/ttyUSB1");
    const QString cp210x = usbDevice("1-7", "10c4", "ea60", "CP2102\x01 UART");
    QDir().mkpath(cp210x + "/ttyUSB2");
    tty("ttyUSB2", cp210x + "/ttyUSB2");
    tty("rfcomm0", QString());
    tty("ttyS0", QString());
    tty("tty1", QString());

    const QByteArray oldSys = qgetenv("KAVRIK_FTLIB_SYSFS");
    qputenv("KAVRIK_FTLIB_SYSFS", sys.path().toUtf8());
    qputenv("KAVRIK_SIM_DIR", noSimulators.path().toUtf8());
    QStringList listed;
    const uint32_t count = api.GetAvailableComPorts(mode);
    for (uint32_t i = 0; i < count && i < 100; ++i) {
        // The program's buffer size; it stops at the first entry that fails.
        char buffer[256];
        if (api.EnumComPorts(i, buffer, sizeof buffer) != i)
            break;
        listed << QString::fromUtf8(buffer);
    }
    qputenv("KAVRIK_SIM_DIR", simDir.path().toUtf8());
    qunsetenv("KAVRIK_FTLIB_SYSFS");
    QCOMPARE(listed, expected);
}

void TestFtMscLib::txtPortSearch_data()
{
    // "ip" commands for the search's side (kvh0) and the TXT's (kvt0); the
    // servers there ("sim ADDRESS [OPTIONS]", "garbage ADDRESS", "reset
    // ADDRESS"); what the search lists; how long it may take; whether
    // nothing at all may leave through kvh0; the name the search's process
    // opens first; its KAVRIK_FTLIB_TXT_SEARCH (unset if empty).
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QStringList>("servers");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("bound");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("open");
    QTest::addColumn<QString>("search");
    QTest::addColumn<QString>("openFailure"); // the open's status, empty where it opens
    auto row = [](const char *name, const QString &host, const QString &peer, const QStringList &servers,
                  const QStringList &expected, int bound, bool silent, const QString &open = {},
                  const QString &search = {}, const QString &openFailure = {}) {
        QTest::newRow(name) << host << peer << servers << expected << bound << silent << open << search
                            << openFailure;
    };
    // Much less than the limit where all answer or none is asked; the
    // limit (250 ms) where one does not answer; answers in turn from three
    // slow TXTs would take longer than it.
    const int quick = 100, limit = 250 + 150, slowAnswers = 100 + quick;
    const QString usbHost = "ip addr add 192.168.7.1/30 dev kvh0; ip link set kvh0 up";
    const QString usbPeer = "ip addr add 192.168.7.2/30 dev kvt0; ip link set kvt0 up";
    const QStringList usbSim{"sim 192.168.7.2:65000"};
    const QStringList usbTxt{"192.168.7.2 ROBOTICS TXT (USB)"};
    // A network of somebody's, its router watched: the default route.
    const QString otherHost = "ip addr add 10.0.0.1/24 dev kvh0; ip link set kvh0 up; ip route add default via 10.0.0.2";
    const QString otherPeer = "ip addr add 10.0.0.2/24 dev kvt0; ip link set kvt0 up";
    const QString threeHost = "ip addr add 192.168.7.1/30 dev kvh0; ip addr add 192.168.9.100/24 dev kvh0;"
                              " ip addr add 192.168.8.20/24 dev kvh0; ip link set kvh0 up";
    const QString threePeer = "ip addr add 192.168.7.2/30 dev kvt0; ip addr add 192.168.8.2/24 dev kvt0;"
                              " ip addr add 192.168.9.2/24 dev kvt0; ip link set kvt0 up";
    row("TXT on USB", usbHost, usbPeer, usbSim, usbTxt, quick, false);
    row("three networks, asked at once", threeHost, threePeer,
        {"sim 192.168.9.2:65000 --latency 100", "sim 192.168.8.2:65000 --latency 100",
         "sim 192.168.7.2:65000 --latency 100"},
        {"192.168.7.2 ROBOTICS TXT (USB)", "192.168.8.2 ROBOTICS TXT (WLAN)", "192.168.9.2 ROBOTICS TXT (Bluetooth)"},
        slowAnswers, false);
    // It serves one client at a time: a probe would get no answer.
    row("open in this process", usbHost, usbPeer, usbSim, usbTxt, quick, false, "192.168.7.2");
    row("silent TXT", usbHost, usbPeer, {usbSim[0] + " --mute"}, {}, limit, false);
    // Nothing listens at 192.168.8.2.
    row("garbage, reset, refused", threeHost, threePeer, {"garbage 192.168.7.2:65000", "reset 192.168.9.2:65000"}, {},
        quick, false);
    // A silent .2, and a TXT on the other network that answers meanwhile.
    row("nobody at .2", "ip addr add 192.168.9.100/24 dev kvh0; " + usbHost,
        "ip addr add 192.168.9.3/24 dev kvt0; " + usbPeer, usbSim, usbTxt, limit, false);
    row("no TXT network", otherHost, otherPeer, {}, {}, quick, true);
    // A TXT's address without its network (the default route would take
    // the probe), and a TXT network on a link that is down.
    row("TXT networks without their link",
        "ip addr add 192.168.7.1/32 dev kvh0; ip link add name kvh1 type veth peer name kvt1;"
        " ip addr add 192.168.8.1/24 dev kvh1; " + otherHost,
        otherPeer, {}, {}, quick, true);
    // What the tests that search on the machine's own network set.
    row("search turned off", usbHost, usbPeer, usbSim, {}, quick, true, {}, "0");
    // A route that rejects the TXT's address: the open says why.
    for (const char *type : {"prohibit", "blackhole", "unreachable"}) {
        row(qPrintable(QString("TXT behind a route of type ") + type),
            usbHost + "; ip route add " + type + " 192.168.7.2/32", usbPeer, usbSim, {}, quick, true, "192.168.7.2",
            "0", QString::asprintf("0x%08x", FTLIB_ERR_HOST_UNREACHABLE));
    }
}

void TestFtMscLib::txtPortSearch()
{
    QFETCH(QString, host);
    QFETCH(QString, peer);
    QFETCH(QStringList, servers);
    QFETCH(QStringList, expected);
    QFETCH(int, bound);
    QFETCH(bool, silent);
    QFETCH(QString, open);
    QFETCH(QString, search);
    QFETCH(QString, openFailure);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // "ip" is in sbin, which a user's PATH may lack.
    env.insert("PATH", env.value("PATH") + ":/usr/sbin:/sbin");
    if (QStandardPaths::findExecutable("ip", env.value("PATH").split(':')).isEmpty())
        QSKIP("no \"ip\" (iproute2) to make the TXT's network with");
    QString why;
    const QStringList unshare = namespaceOptions(env, why);
    if (unshare.isEmpty())
        QSKIP(qPrintable("no network namespace of the test's own (unshare -rn: " + why + ")"));

    QTemporaryDir scratch;
    QVERIFY(QDir().mkdir(scratch.path() + "/sys") && QDir().mkdir(scratch.path() + "/sim"));
    QVERIFY(QFile::setPermissions(scratch.path() + "/sim", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    env.insert("D", scratch.path());
    env.insert("HOST", host);
    env.insert("PEER", peer);
    env.insert("SERVE", serverCommands(servers));
    env.insert("SERVERS", QString::number(servers.size()));
    env.insert("OPEN", open);
    env.remove("KAVRIK_FTLIB_TXT_SEARCH");
    if (!search.isEmpty())
        env.insert("KAVRIK_FTLIB_TXT_SEARCH", search);
    env.insert("PROBE", KAVRIK_SEARCHPROBE);
    env.insert("LIB", kLibrary);
    // The search's own listing only: no ports, no simulators of this run.
    env.insert("KAVRIK_FTLIB_SYSFS", scratch.path() + "/sys");
    env.insert("KAVRIK_SIM_DIR", scratch.path() + "/sim");
    QProcess probe;
    probe.setProcessEnvironment(env);
    probe.start("unshare", unshare + QStringList{"sh", "-c", kTxtNetworks});
    QVERIFY(probe.waitForFinished(20000));
    const QString err = QString::fromLocal8Bit(probe.readAllStandardError());
    QVERIFY2(probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0, qPrintable(err));
    QStringList listed;
    QMap<QString, QString> figures;
    for (const QString &line : QString::fromLocal8Bit(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith("entry "))
            listed << line.mid(6);
        else
            figures[line.section(' ', 0, 0)] = line.section(' ', 1);
    }
    QVERIFY2(figures.contains("sent"), qPrintable(err));
    QCOMPARE(figures.value("open"), openFailure);
    QCOMPARE(figures["ready"].toInt(), servers.size());
    QCOMPARE(listed, expected);
    if (silent)
        QCOMPARE(figures["sent"], QString("0"));
    // An open device's guardians are still starting, beside the search.
    const QStringList fds = figures["fds"].split(' ');
    QCOMPARE(fds.size(), 2);
    if (open.isEmpty() || !openFailure.isEmpty())
        QCOMPARE(fds[1], fds[0]);
    // The search as the program makes it (the count again before each
    // entry) asks each TXT once.
    QVERIFY2(figures["ms"].toInt() < bound, qPrintable(figures["ms"]));
}

void TestFtMscLib::transferSession()
{
    SimProcess sim;
    QVERIFY(sim.start({"--log-frames"}, simDir.path()));
    uint32_t err = 0;
    const FtHandle h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err);
    QVERIFY(h);
    // Identification: console probe, new session, information, states.
    QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "probe"; }, 1000, 0).isEmpty());
    QCOMPARE(sim.count("session"), 1);
    QCOMPARE(sim.count("frame", [](const QJsonObject &e) { return e["cmd"] == 6; }), 1);
    QCOMPARE(sim.count("frame", [](const QJsonObject &e) { return e["cmd"] == 7; }), 1);
    QCOMPARE(sim.count("frame", [](const QJsonObject &e) { return e["cmd"] == 2 || e["cmd"] == 5; }), 0);
    QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxStopTransferArea(h), uint32_t(FTLIB_ERR_THREAD_NOT_RUNNING));

    // Outputs set before the start are sent once the configuration is in.
    QCOMPARE(api.SetOutPwmValues(h, 0, 2, 0x113), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_THREAD_IS_RUNNING));
    const QJsonObject config = sim.waitFor([](const QJsonObject &e) { return e["event"] == "config"; }, 2000, 0);
    QCOMPARE(config["motors"].toArray(), (QJsonArray{1, 1, 1, 1}));
    const QJsonObject firstExchange = sim.waitFor([](const QJsonObject &e) { return e["event"] == "frame" && e["cmd"] == 2; }, 2000, 0);
    QVERIFY(!firstExchange.isEmpty());
    QVERIFY(firstExchange["t_us"].toDouble() > config["t_us"].toDouble());
    QVERIFY(!sim.waitOutput(0, 2, 0x113, 2000).isEmpty());

    // A changed configuration goes out before the next exchange.
    QCOMPARE(api.SetFtMotorConfig(h, 0, 1, false), uint32_t(FTLIB_ERR_SUCCESS));
    const QJsonObject changed = sim.waitFor([](const QJsonObject &e) { return e["event"] == "config"; }, 2000);
    QCOMPARE(changed["motors"].toArray(), (QJsonArray{1, 0, 1, 1}));

    // Values whose bytes are XON, XOFF, CR and ETX survive the line discipline
    // (as single outputs, so that no pair counts as both directions).
    for (int m : {0, 2, 3})
        QCOMPARE(api.SetFtMotorConfig(h, 0, m, false), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "config" && e["motors"] == QJsonArray{0, 0, 0, 0}; }, 2000).isEmpty());
    const int special[] = {0x111, 0x113, 0x10D, 0x103, 0x011, 0x013, 0x00D, 0x003};
    for (int o = 0; o < 8; ++o)
        QCOMPARE(api.SetOutPwmValues(h, 0, o, special[o]), uint32_t(FTLIB_ERR_SUCCESS));
    const QJsonObject status = sim.waitFor([&](const QJsonObject &e) {
        return e["event"] == "output" && e["out"] == 7 && e["duty"] == special[7];
    }, 2000);
    QVERIFY(!status.isEmpty());
    const QJsonArray duties = sim.status()["ta"].toArray()[0].toObject()["duty"].toArray();
    for (int o = 0; o < 8; ++o)
        QCOMPARE(duties[o].toInt(), special[o]);

    // Stop leaves every output at 0 and the stored values too.
    QCOMPARE(api.ftxStopTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxStopTransferArea(h), uint32_t(FTLIB_ERR_THREAD_NOT_RUNNING));
    for (const QJsonValue &d : sim.status()["ta"].toArray()[0].toObject()["duty"].toArray())
        QCOMPARE(d.toInt(), 0);
    const int exchanges = sim.count("frame", [](const QJsonObject &e) { return e["cmd"] == 2; });
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "config"; }, 2000).isEmpty());
    QVERIFY(waitUntil([&] { return sim.count("frame", [](const QJsonObject &e) { return e["cmd"] == 2; }) > exchanges + 3; }, 2000));
    QCOMPARE(sim.count("output", [](const QJsonObject &e) { return e["duty"].toInt() != 0; }), 9);

    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_UNKNOWN_DEVICE_HANDLE));
    QCOMPARE(api.SetOutPwmValues(h, 0, 0, 1), uint32_t(FTLIB_ERR_UNKNOWN_DEVICE_HANDLE));
    QCOMPARE(sim.count("violation"), 0);
}

void TestFtMscLib::txtSession_data()
{
    QTest::addColumn<int>("extensions"); // what the TXT has
    QTest::addColumn<QString>("teardown"); // how it turns a connection away while the last one ends
    QTest::newRow("the Master alone") << 0 << "";
    QTest::newRow("with Extension 1") << 1 << "";
    // A start right after a stop (Ctrl+Z and at once fg) must not cost the
    // connection.
    QTest::newRow("refused while the last connection ends") << 0 << "teardown 200";
    QTest::newRow("reset while the last connection ends") << 0 << "teardown 200 reset";
}

// A ROBOTICS TXT over TCP: online mode at each start, one request at a
// time, a release in the next exchange, and every stop ending online mode
// after zeros that were answered.
void TestFtMscLib::txtSession()
{
    QFETCH(int, extensions);
    QFETCH(QString, teardown);
    const auto command = [](qint64 id) { return [id](const QJsonObject &e) { return e["event"] == "frame" && e["cmd"].toDouble() == id; }; };
    const auto stopOnline = command(0x9BE5082C);
    SimProcess sim;
    QVERIFY(sim.start({"--txt", "127.0.0.1:0", "--extensions", QString::number(extensions), "--log-frames"}, simDir.path()));
    uint32_t err = 0;
    const FtHandle h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err);
    QVERIFY2(h, qPrintable(QString::number(err, 16)));
    // The status query alone: online mode waits for the start.
    QVERIFY(!sim.waitFor(command(0xDC21219A), 1000, 0).isEmpty());
    QCOMPARE(sim.count("session"), 0);
    if (!teardown.isEmpty())
        QVERIFY(sim.command(teardown));
    for (int round = 0; round < 2; ++round) {
        const int from = sim.events.size();
        QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
        QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "config" && e["ta"] == 0; }, 2000, from).isEmpty());
        // The extension is known once the TXT has said so; the others never are.
        uint32_t online = 99;
        QVERIFY(waitUntil([&] { return api.ftxGetOnlineExtensions(h, &online) == FTLIB_ERR_SUCCESS && online == uint32_t(extensions); }, 1000));
        QCOMPARE(api.SetOutPwmValues(h, 2, 0, 100), uint32_t(FTLIB_ERR_NO_SUCH_DEVICE_INSTANCE));
        QCOMPARE(api.SetOutPwmValues(h, 1, 3, 300), uint32_t(extensions ? FTLIB_ERR_SUCCESS : FTLIB_ERR_NO_SUCH_DEVICE_INSTANCE));
        QCOMPARE(api.SetOutPwmValues(h, 0, 1, 400), uint32_t(FTLIB_ERR_SUCCESS));
        // Both may go out in one exchange or in two, in either order.
        QVERIFY(!sim.waitOutput(0, 1, 400).isEmpty());
        if (extensions)
            QVERIFY(!sim.waitFor([](const QJsonObject &e) {
                return e["event"] == "output" && e["ta"] == 1 && e["out"] == 3 && e["duty"] == 300;
            }, 2000, from).isEmpty());
        // A release goes out with the next exchange, within a cycle or two.
        const qint64 released = monotonicMicroseconds();
        QCOMPARE(api.SetOutPwmValues(h, 0, 1, 0), uint32_t(FTLIB_ERR_SUCCESS));
        const QJsonObject zero = sim.waitOutput(0, 1, 0);
        QVERIFY(!zero.isEmpty());
        QVERIFY2(zero["t_us"].toVariant().toLongLong() - released < 25000, qPrintable(QString::number(zero["t_us"].toVariant().toLongLong() - released)));
        // A changed configuration goes out under a new id (the simulator
        // flags one it has seen).
        QCOMPARE(api.SetFtMotorConfig(h, 0, 2, false), uint32_t(FTLIB_ERR_SUCCESS));
        QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "config" && e["motors"] == QJsonArray{1, 1, 0, 1}; }, 2000).isEmpty());
        QCOMPARE(api.SetFtMotorConfig(h, 0, 2, true), uint32_t(FTLIB_ERR_SUCCESS));
        QCOMPARE(api.SetOutPwmValues(h, 0, 0, 512), uint32_t(FTLIB_ERR_SUCCESS));
        QVERIFY(!sim.waitOutput(0, 0, 512).isEmpty());
        const int stopFrom = sim.events.size();
        if (round == 0) {
            // The stop: the zeros answered, then StopOnline, and the
            // connection ends; the next start connects anew.
            QCOMPARE(api.ftxStopTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
        } else {
            QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
        }
        const QJsonObject stopped = sim.waitOutput(0, 0, 0, 1000);
        const QJsonObject ended = sim.waitFor(stopOnline, 1000, stopFrom);
        QVERIFY(!stopped.isEmpty() && !ended.isEmpty());
        QVERIFY(stopped["t_us"].toDouble() < ended["t_us"].toDouble());
        if (extensions)
            QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "output" && e["ta"] == 1 && e["duty"] == 0; }, 1000, stopFrom).isEmpty());
        QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "connection" && e["state"] == "closed"; }, 1000, stopFrom).isEmpty());
    }
    QCOMPARE(sim.count("session"), 2);
    QCOMPARE(sim.count("violation"), 0);
    if (teardown.endsWith("reset"))
        QVERIFY(sim.count("connection", [](const QJsonObject &e) { return e["state"] == "refused"; }) > 0);
}

void TestFtMscLib::outputArguments_data()
{
    QTest::addColumn<int>("shm");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("duty");
    QTest::addColumn<uint>("result");
    QTest::addColumn<int>("wire");
    QTest::newRow("full") << 0 << 0 << 512 << uint(FTLIB_ERR_SUCCESS) << 512;
    QTest::newRow("above 512 clamped") << 0 << 7 << 5000 << uint(FTLIB_ERR_SUCCESS) << 512;
    QTest::newRow("largest int clamped") << 0 << 3 << INT32_MAX << uint(FTLIB_ERR_SUCCESS) << 512;
    QTest::newRow("extension 1") << 1 << 4 << 77 << uint(FTLIB_ERR_SUCCESS) << 77;
    QTest::newRow("negative duty") << 0 << 0 << -1 << uint(FTLIB_ERR_INVALID_PARAM) << -1;
    QTest::newRow("most negative duty") << 0 << 0 << INT32_MIN << uint(FTLIB_ERR_INVALID_PARAM) << -1;
    QTest::newRow("controller 9") << 9 << 0 << 100 << uint(FTLIB_ERR_INVALID_PARAM) << -1;
    QTest::newRow("controller -1") << -1 << 0 << 100 << uint(FTLIB_ERR_INVALID_PARAM) << -1;
    QTest::newRow("output 8") << 0 << 8 << 100 << uint(FTLIB_ERR_INVALID_PARAM) << -1;
    QTest::newRow("output -1") << 0 << -1 << 100 << uint(FTLIB_ERR_INVALID_PARAM) << -1;
}

void TestFtMscLib::outputArguments()
{
    QFETCH(int, shm);
    QFETCH(int, index);
    QFETCH(int, duty);
    QFETCH(uint, result);
    QFETCH(int, wire);
    SimProcess sim;
    const FtHandle h = openRunning(sim, {"--extensions", "1"});
    QVERIFY(h);
    QCOMPARE(api.SetOutPwmValues(h, shm, index, duty), uint32_t(result));
    if (wire >= 0) {
        QVERIFY(!sim.waitOutput(shm, index, wire).isEmpty());
    } else {
        // Refused values reach nothing: only the marker set afterwards arrives.
        QCOMPARE(api.SetOutPwmValues(h, 0, 6, 123), uint32_t(FTLIB_ERR_SUCCESS));
        QVERIFY(!sim.waitOutput(0, 6, 123).isEmpty());
        QCOMPARE(sim.count("output"), 1);
    }
    // The motor configuration checks its indices the same way.
    QCOMPARE(api.SetFtMotorConfig(h, 9, 0, true), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.SetFtMotorConfig(h, -1, 0, true), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.SetFtMotorConfig(h, 0, 4, true), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.SetFtMotorConfig(h, 0, -1, true), uint32_t(FTLIB_ERR_INVALID_PARAM));
    // So do the end switches, and their inputs are I1-I8 alone.
    FtInputState state;
    QCOMPARE(api.SetFtEndSwitches(h, 9, 0, 1), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.SetFtEndSwitches(h, 0, 8, 1), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.SetFtEndSwitches(h, 0, -1, 1), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.SetFtEndSwitches(h, 0, 0, 0x100), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.SetFtEndSwitches(h, 0, 0, 0xFFFFFFFFu), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.GetFtInputState(h, 9, &state), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.GetFtInputState(h, -1, &state), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.GetFtInputState(h, 0, nullptr), uint32_t(FTLIB_ERR_INVALID_PARAM));
    QCOMPARE(api.GetFtInputState(h, 0, &state), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(state.switches, 0u);
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(sim.count("violation"), 0);
}

void TestFtMscLib::bothDirectionsHeld()
{
    SimProcess sim;
    const FtHandle h = openRunning(sim);
    QVERIFY(h);
    QCOMPARE(api.SetOutPwmValues(h, 0, 0, 300), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 0, 300).isEmpty());
    // Both keys of M1 held: the motor is sent stopped, never both channels.
    QCOMPARE(api.SetOutPwmValues(h, 0, 1, 200), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 0, 0).isEmpty());
    // Releasing one key drives the other direction again.
    QCOMPARE(api.SetOutPwmValues(h, 0, 0, 0), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 1, 200).isEmpty());
    // As two single outputs both channels are independent.
    QCOMPARE(api.SetFtMotorConfig(h, 0, 0, false), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.SetOutPwmValues(h, 0, 0, 100), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 0, 100).isEmpty());
    QCOMPARE(sim.status()["ta"].toArray()[0].toObject()["duty"].toArray()[1].toInt(), 200);
    QCOMPARE(sim.count("violation"), 0);
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestFtMscLib::endSwitches_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("ta");
    QTest::addColumn<qint64>("exchange"); // the exchange's command code or id
    const QStringList txt{"--txt", "127.0.0.1:0", "--extensions", "1"};
    QTest::newRow("ROBO TX, Master") << QStringList{} << 0 << qint64(2);
    QTest::newRow("ROBO TX, extension 2") << QStringList{"--extensions", "2"} << 2 << qint64(2);
    QTest::newRow("TXT, Master") << txt << 0 << qint64(0xFBC56F98);
    QTest::newRow("TXT, Extension 1") << txt << 1 << qint64(0xFBC56F98);
    QTest::newRow("TXT 4.0, plain exchange") << QStringList{"--txt", "127.0.0.1:0", "--name", "TX2013"} << 0
                                             << qint64(0xCC3597BA);
}

// A held output stops at its end switch in the exchange after the answer
// that shows the switch closed, and at once, not a cycle later; it is
// never driven into a switch closed before the start; it drives again when
// the switch opens while its duty is set, but not after its release; the
// other channel of the motor still drives.
void TestFtMscLib::endSwitches()
{
    QFETCH(QStringList, args);
    QFETCH(int, ta);
    QFETCH(qint64, exchange);
    api.ftxInitLib(); // when this test runs alone
    // A long cycle: an exchange that follows an answer within it goes at once.
    qputenv("KAVRIK_FTLIB_CYCLE_MS", "300");
    SimProcess sim;
    const bool started = sim.start(args + QStringList{"--log-frames"}, simDir.path());
    uint32_t err = 0;
    const FtHandle h = started ? api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err) : 0;
    qunsetenv("KAVRIK_FTLIB_CYCLE_MS");
    QVERIFY(h);
    const QString input = QStringLiteral("input %1 3 ").arg(ta);
    const auto isExchange = [=](const QJsonObject &e) { return e["event"] == "frame" && e["cmd"].toDouble() == exchange; };
    const auto drives = [=](int out) {
        return [=](const QJsonObject &e) { return e["event"] == "output" && e["ta"] == ta && e["out"] == out && e["duty"] != 0; };
    };
    const auto countFrom = [&sim](int from, int to, const std::function<bool(const QJsonObject &)> &match) {
        int n = 0;
        for (int i = from; i < to && i < sim.events.size(); ++i)
            n += match(sim.events[i]);
        return n;
    };
    const auto exchangesAfter = [&](int from, int n) {
        return waitUntil([&] { sim.readLines(); return countFrom(from, sim.events.size(), isExchange) >= n; }, 3000);
    };
    const auto state = [&] {
        FtInputState s{};
        return api.GetFtInputState(h, ta, &s) == FTLIB_ERR_SUCCESS ? s : FtInputState{{9}, {9}, 9, 9, 9, 9};
    };

    // Closed before the start, with the duty set: never driven.
    QVERIFY(sim.command(input + "closed"));
    QCOMPARE(api.SetFtEndSwitches(h, ta, 0, 0x04), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(state().switches, 0x04u);
    QCOMPARE(state().answered, 0u);
    api.SetOutPwmValues(h, ta, 0, 400);
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitFor([=](const QJsonObject &e) { return e["event"] == "config" && e["ta"] == ta; }, 3000).isEmpty());
    QVERIFY(exchangesAfter(sim.seen, 2));
    QCOMPARE(sim.count("output", drives(0)), 0);
    FtInputState s = state();
    QCOMPARE(s.answered, 1u);
    QCOMPARE(s.universal[2], int16_t(1));
    QCOMPARE(s.closed, 0x04u);
    QCOMPARE(s.blocked, 0x01u);

    // Opened while the duty is set: driven again.
    QVERIFY(sim.command(input + "open"));
    QVERIFY(!sim.waitOutput(ta, 0, 400).isEmpty());
    QCOMPARE(state().blocked, 0u);

    // Closed while driven: the exchange that answers it closed is followed
    // by one with the output at 0, at once.
    const int closing = sim.events.size();
    QVERIFY(sim.command(input + "closed"));
    QVERIFY(!sim.waitOutput(ta, 0, 0, 3000).isEmpty());
    QList<QJsonObject> frames;
    for (int i = closing; i < sim.seen; ++i) {
        if (isExchange(sim.events[i]))
            frames << sim.events[i];
    }
    QVERIFY2(!frames.isEmpty() && frames.size() <= 2, qPrintable(QString::number(frames.size())));
    if (frames.size() == 2) {
        const double gap = frames[1]["t_us"].toDouble() - frames[0]["t_us"].toDouble();
        QVERIFY2(gap < 150000, qPrintable(QString::number(gap)));
    }

    // The other direction drives the model off the switch, also while the
    // key that drove into it is still held (a motor's two channels held
    // together are otherwise sent stopped); the released one stays at 0
    // when the switch opens.
    QCOMPARE(api.SetOutPwmValues(h, ta, 1, 300), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(ta, 1, 300).isEmpty());
    QCOMPARE(api.SetOutPwmValues(h, ta, 0, 0), uint32_t(FTLIB_ERR_SUCCESS));
    const int opening = sim.events.size();
    QVERIFY(sim.command(input + "open"));
    // Exchanges counted from the command's answer on (the switch is open
    // by then), not from events of before it that were read late.
    QVERIFY(exchangesAfter(sim.seen, 2));
    QCOMPARE(countFrom(opening, sim.events.size(), drives(0)), 0);
    QTRY_COMPARE_WITH_TIMEOUT(state().closed, 0u, 2000);
    QCOMPARE(sim.status()["ta"].toArray()[ta].toObject()["duty"].toArray()[1].toInt(), 300);

    // Closed while stopped: the next transfer does not take it for open.
    QCOMPARE(api.ftxStopTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(sim.command(input + "closed"));
    api.SetOutPwmValues(h, ta, 0, 400);
    const int restart = sim.events.size();
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(exchangesAfter(restart, 3));
    QCOMPARE(countFrom(restart, sim.events.size(), drives(0)), 0);
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(sim.count("violation"), 0);
}

void TestFtMscLib::extensionComingOnline()
{
    SimProcess sim;
    const FtHandle h = openRunning(sim);
    QVERIFY(h);
    // Kept while extension 2 is offline, sent once it appears; the answer
    // says that it is not there yet.
    using Online = uint32_t (*)(FtHandle, uint32_t *);
    const auto online = reinterpret_cast<Online>(::dlsym(api.handle, "ftxGetOnlineExtensions"));
    QVERIFY(online);
    uint32_t extensions = 0xFF;
    QCOMPARE(online(h, &extensions), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(extensions, 0u);
    QCOMPARE(api.SetOutPwmValues(h, 2, 4, 400), uint32_t(FTLIB_ERR_NO_SUCH_DEVICE_INSTANCE));
    QCOMPARE(api.SetFtMotorConfig(h, 2, 3, false), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(sim.command("ext 2 on"));
    const QJsonObject config = sim.waitFor([](const QJsonObject &e) { return e["event"] == "config" && e["ta"] == 2; }, 3000);
    QCOMPARE(config["motors"].toArray(), (QJsonArray{1, 1, 1, 0}));
    QVERIFY(!sim.waitOutput(2, 4, 400).isEmpty());
    QCOMPARE(online(h, &extensions), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(extensions, 2u);
    QCOMPARE(api.SetOutPwmValues(h, 2, 4, 300), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxStopTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(sim.status()["ta"].toArray()[2].toObject()["duty"].toArray()[4].toInt(), 0);
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestFtMscLib::setterDoesNotWaitForReplies()
{
    SimProcess sim;
    const FtHandle h = openRunning(sim);
    QVERIFY(h);
    // With the device silent a request is always outstanding; setters still
    // return at once. A setter that waited for an answer would take a whole
    // reply timeout (200 ms); the bound leaves room for a thread preempted
    // on a busy machine under the sanitizers (7 ms seen).
    QVERIFY(sim.command("mute"));
    QElapsedTimer timer;
    timer.start();
    qint64 slowest = 0;
    for (int i = 0; i < 200; ++i) {
        const qint64 before = timer.nsecsElapsed();
        api.SetOutPwmValues(h, 0, i % 8, i);
        slowest = qMax(slowest, timer.nsecsElapsed() - before);
    }
    QVERIFY2(slowest < 50'000'000, qPrintable(QString::number(slowest)));
    api.ftxCloseDevice(h);
}

void TestFtMscLib::recoverableFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("dropped reply") << "drop 1";
    QTest::newRow("two dropped replies") << "drop 2";
    QTest::newRow("corrupt checksum") << "corrupt 1";
    QTest::newRow("reply in single bytes") << "split 1";
    QTest::newRow("console text before a reply") << "stray";
    // A congested radio link holds the host's bytes up for a while: shorter
    // than three reply timeouts, it is no lost link.
    QTest::newRow("the port takes no bytes for 0.3 s") << "stall 300";
}

void TestFtMscLib::recoverableFaults()
{
    QFETCH(QString, fault);
    SimProcess sim;
    const FtHandle h = openRunning(sim);
    QVERIFY(h);
    QVERIFY(sim.command(fault));
    QCOMPARE(api.SetOutPwmValues(h, 0, 3, 333), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 3, 333).isEmpty());
    // Still connected after the fault has passed, and still answering.
    QCOMPARE(api.SetOutPwmValues(h, 0, 3, 111), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 3, 111, 2000).isEmpty());
    QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestFtMscLib::extensionRepliesLost_data()
{
    QTest::addColumn<QString>("then");
    QTest::newRow("released") << "release";
    QTest::newRow("stopped") << "stop";
    QTest::newRow("closed") << "close";
    // Asked again while the controller reports it online, and driven again
    // once it answers.
    QTest::newRow("held on") << "hold";
}

// A noisy link loses the replies to two exchanges in a row that name an
// extension: the library stops addressing it, but what it was last sent must
// not stay on.
void TestFtMscLib::extensionRepliesLost()
{
    QFETCH(QString, then);
    SimProcess sim;
    const FtHandle h = openRunning(sim, {"--extensions", "1"});
    QVERIFY(h);
    QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "config" && e["ta"] == 1; }, 3000).isEmpty());
    QCOMPARE(api.SetOutPwmValues(h, 1, 2, 300), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(1, 2, 300).isEmpty());
    using Online = uint32_t (*)(FtHandle, uint32_t *);
    const auto online = reinterpret_cast<Online>(::dlsym(api.handle, "ftxGetOnlineExtensions"));
    QVERIFY(online);
    // The replies to an exchange, to the status request it brings and to the
    // next exchange: the controller still reports the extension online.
    QVERIFY(sim.command("drop 3"));
    uint32_t extensions = 1;
    QVERIFY(waitUntil([&] { return online(h, &extensions) == FTLIB_ERR_SUCCESS && extensions == 0; }, 3000));
    if (then == "release") {
        QCOMPARE(api.SetOutPwmValues(h, 1, 2, 0), uint32_t(FTLIB_ERR_NO_SUCH_DEVICE_INSTANCE));
    } else if (then == "stop") {
        QCOMPARE(api.ftxStopTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    } else if (then == "close") {
        QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
    } else {
        QVERIFY(waitUntil([&] { return online(h, &extensions) == FTLIB_ERR_SUCCESS && extensions == 1; }, 5000));
        QVERIFY(!sim.waitOutput(1, 2, 300, 1000).isEmpty());
        QCOMPARE(api.SetOutPwmValues(h, 1, 2, 0), uint32_t(FTLIB_ERR_SUCCESS));
    }
    QVERIFY(!sim.waitOutput(1, 2, 0, 500).isEmpty());
    // And it stays so.
    sim.waitFor([](const QJsonObject &) { return false; }, 100);
    QCOMPARE(sim.status()["ta"].toArray()[1].toObject()["duty"].toArray()[2].toInt(), 0);
    QCOMPARE(sim.count("violation"), 0);
    if (then != "close")
        QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestFtMscLib::linkLost_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("within");
    QTest::addColumn<bool>("zerosSent");
    QTest::addColumn<uint>("status"); // GetComStatus afterwards
    QTest::addColumn<QStringList>("txt"); // a ROBOTICS TXT with these options, else a ROBO TX
    // Three reply timeouts of 200 ms. The muted simulator still applies
    // requests, so it receives the zeros sent as the link is given up.
    QTest::newRow("silence") << "mute" << 1500 << true << uint(FTLIB_ERR_TIMEOUT_TA) << QStringList();
    // A hang-up is noticed at once, not after the timeouts; there is nothing
    // left to send zeros to.
    QTest::newRow("hang-up") << "hangup" << 300 << false << uint(FTLIB_ERR_OPEN_COM) << QStringList();
    // Held up longer than three reply timeouts: given up as silence.
    QTest::newRow("the port takes no bytes") << "stall 5000" << 1500 << false << uint(FTLIB_ERR_TIMEOUT_TA)
                                             << QStringList();
    // A TXT is not asked again while it keeps quiet (a late answer could not
    // be told from the next one): the same three timeouts, well within the
    // second the window has to say so. A connection it closes or resets is
    // lost at once.
    const QStringList txt{"--txt", "127.0.0.1:0"};
    QTest::newRow("TXT silent") << "mute" << 1000 << true << uint(FTLIB_ERR_TIMEOUT_TA) << txt;
    QTest::newRow("TXT closes") << "close" << 300 << false << uint(FTLIB_ERR_OPEN_COM) << txt;
    QTest::newRow("TXT resets") << "reset" << 300 << false << uint(FTLIB_ERR_OPEN_COM) << txt;
}

void TestFtMscLib::linkLost()
{
    QFETCH(QString, fault);
    QFETCH(int, within);
    QFETCH(bool, zerosSent);
    QFETCH(uint, status);
    QFETCH(QStringList, txt);
    SimProcess sim;
    const FtHandle h = openRunning(sim, txt);
    QVERIFY(h);
    QCOMPARE(api.SetOutPwmValues(h, 0, 0, 512), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 0, 512).isEmpty());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(sim.command(fault));
    QVERIFY(waitUntil([&] { return api.GetComStatus(h) == status; }, 3000));
    QVERIFY2(timer.elapsed() < within, qPrintable(QString::number(timer.elapsed())));
    if (zerosSent) {
        QVERIFY(!sim.waitOutput(0, 0, 0, 1000).isEmpty());
    }
    QCOMPARE(api.SetOutPwmValues(h, 0, 0, 100), uint32_t(FTLIB_ERR_TIMEOUT_TA));
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_TIMEOUT_TA));
    timer.restart();
    QCOMPARE(api.ftxStopTransferArea(h), uint32_t(FTLIB_ERR_TIMEOUT_TA));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(timer.elapsed() < 500);
}

void TestFtMscLib::nothingLeftBehind_data()
{
    QTest::addColumn<QStringList>("device");
    // What ftxGetDeviceKind says of it: kind, extensions at most, features.
    QTest::addColumn<QList<uint>>("kind");
    QTest::newRow("ROBO TX") << QStringList() << QList<uint>{FT_DEVICE_ROBO_TX, 8, 0};
    // A TXT connects anew at a start after a stop: its guardians with it.
    QTest::newRow("TXT") << QStringList{"--txt", "127.0.0.1:0"}
                         << QList<uint>{FT_DEVICE_ROBOTICS_TXT, 1, FT_FEATURE_EXTENSIONS_WHILE_RUNNING};
}

void TestFtMscLib::nothingLeftBehind()
{
    QFETCH(QStringList, device);
    QFETCH(QList<uint>, kind);
    SimProcess sim;
    QVERIFY(sim.start(device, simDir.path()));
    const int fds = countEntries("/proc/self/fd");
    const int threads = countEntries("/proc/self/task");
    const int children = countChildren();
    for (int round = 0; round < 3; ++round) {
        uint32_t err = 0;
        const FtHandle h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err);
        QVERIFY(h);
        // The two guardians, until the close; the open does not wait for them.
        QVERIFY(waitUntil([&] { return countChildren() == children + 2; }, 1000));
        QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
        // The transfer's thread; the one that started the guardians is on
        // its way out (the transfer joins it).
        QVERIFY2(waitUntil([&] { return countEntries("/proc/self/task") == threads + 1; }, 1000),
                 qPrintable(QString::number(countEntries("/proc/self/task") - threads)));
        QCOMPARE(countChildren(), children + 2);
        QCOMPARE(api.SetOutPwmValues(h, 0, 0, 100 + round), uint32_t(FTLIB_ERR_SUCCESS));
        QVERIFY(!sim.waitOutput(0, 0, 100 + round).isEmpty());
        if (round == 1) {
            QCOMPARE(api.ftxStopTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
            QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
            QCOMPARE(api.SetOutPwmValues(h, 0, 0, 200), uint32_t(FTLIB_ERR_SUCCESS));
            QVERIFY(!sim.waitOutput(0, 0, 200).isEmpty());
            QVERIFY(waitUntil([&] { return countChildren() == children + 2; }, 1000));
        }
        // The kind is the session's, and a null pointer or a closed handle
        // writes nothing.
        uint32_t what[3] = {};
        QCOMPARE(api.ftxGetDeviceKind(h, &what[0], &what[1], &what[2]), uint32_t(FTLIB_ERR_SUCCESS));
        QCOMPARE((QList<uint>{what[0], what[1], what[2]}), kind);
        QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
        std::fill(what, what + 3, 0xFFu);
        QCOMPARE(api.ftxGetDeviceKind(h, &what[0], nullptr, &what[2]), uint32_t(FTLIB_ERR_INVALID_PARAM));
        QCOMPARE(api.ftxGetDeviceKind(h, &what[0], &what[1], &what[2]), uint32_t(FTLIB_ERR_UNKNOWN_DEVICE_HANDLE));
        QCOMPARE((QList<uint>{what[0], what[1], what[2]}), (QList<uint>{0xFFu, 0xFFu, 0xFFu}));
        QCOMPARE(countEntries("/proc/self/fd"), fds);
        QCOMPARE(countEntries("/proc/self/task"), threads);
        QCOMPARE(countChildren(), children);
    }
}

void TestFtMscLib::exitSendsZeros()
{
    SimProcess sim;
    QVERIFY(sim.start({"--watchdog", "0"}, simDir.path()));
    QProcess probe;
    probe.start(KAVRIK_EXITPROBE, {kLibrary, sim.port});
    QVERIFY(probe.waitForStarted());
    QVERIFY(!sim.waitOutput(0, 0, 512, 5000).isEmpty());
    probe.write("exit\n");
    QVERIFY(probe.waitForFinished(3000));
    QCOMPARE(probe.exitCode(), 0);
    // The library's exit handler switched the output off on its way out.
    QVERIFY(!sim.waitOutput(0, 0, 0, 1000).isEmpty());
}

void TestFtMscLib::fatalSignalSendsZeros_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("driving");
    QTest::addColumn<QString>("before"); // what happened to the program first
    QTest::addColumn<QStringList>("txt"); // a ROBOTICS TXT with these options, else a ROBO TX
    QTest::newRow("SIGSEGV") << SIGSEGV << true << "" << QStringList();
    QTest::newRow("SIGBUS") << SIGBUS << true << "" << QStringList();
    // What an allocation failure ends in.
    QTest::newRow("SIGABRT") << SIGABRT << true << "" << QStringList();
    // No handler runs: the guardian process writes the zeros...
    QTest::newRow("SIGKILL") << SIGKILL << true << "" << QStringList();
    // ...but only where an output was driven...
    QTest::newRow("SIGKILL, nothing driven") << SIGKILL << false << "" << QStringList();
    // ...also when the first guardians were killed (the library starts new
    // ones), and when a child the program forked without exec lives on...
    QTest::newRow("SIGKILL, its guardians killed before") << SIGKILL << true << "guardians killed" << QStringList();
    QTest::newRow("SIGKILL, a forked child lives on") << SIGKILL << true << "fork" << QStringList();
    // ...or has called exit(), which runs the library's exit handlers in it.
    QTest::newRow("SIGKILL, a forked child exited") << SIGKILL << true << "fork-exit" << QStringList();
    // A guardian killed and the program right after, as a logout ends both:
    // the other guardian still watches.
    // Without it, back to back left the outputs driven every time.
    for (int attempt = 1; attempt <= 2; ++attempt)
        QTest::addRow("SIGKILL right after a guardian's, %d", attempt) << SIGKILL << true << "guardian killed:0" << QStringList();
    QTest::newRow("SIGKILL 0.5 ms after a guardian's") << SIGKILL << true << "guardian killed:500" << QStringList();
    // A desktop ends a program's whole cgroup in one step (the stop of its
    // scope, systemd-oomd): the guardians are not in it.
    for (int attempt = 1; attempt <= 5; ++attempt)
        QTest::addRow("its cgroup killed, %d", attempt) << SIGKILL << true << "cgroup killed" << QStringList();
    // A logout or a service's stop sends SIGTERM to every process at once;
    // the program (without a handler of its own) dies of it, the guardians
    // stay for its zeros.
    for (int attempt = 1; attempt <= 5; ++attempt)
        QTest::addRow("SIGTERM to every process, %d", attempt) << SIGTERM << true << "guardians terminated" << QStringList();
    // Guardians that were stopped do not answer the heartbeat: replaced.
    // Under a subreaper nothing would continue them once the program is gone.
    QTest::newRow("SIGKILL, its guardians stopped") << SIGKILL << true << "guardians stopped" << QStringList();
    // A TXT gets the zeros in its own framing, after the answer to a request
    // still on its way (the late answers make one likely), and StopOnline.
    const QStringList late{"--latency", "8"};
    QTest::newRow("TXT, SIGSEGV") << SIGSEGV << true << "" << late;
    QTest::newRow("TXT, SIGABRT") << SIGABRT << true << "" << late;
    QTest::newRow("TXT, SIGKILL") << SIGKILL << true << "" << late;
    QTest::newRow("TXT, SIGKILL right after a guardian's") << SIGKILL << true << "guardian killed:0" << late;
    QTest::newRow("TXT, SIGKILL, nothing driven") << SIGKILL << false << "" << QStringList();
    QTest::newRow("TXT, SIGTERM to every process") << SIGTERM << true << "guardians terminated" << late;
    QTest::newRow("TXT, its cgroup killed") << SIGKILL << true << "cgroup killed" << late;
    // A crash while the TXT's answer is late (0.8 s): the transfer gives
    // the link up at 0.6 s while the handler waits for that answer, and
    // must leave it what it needs to write the zeros then.
    for (int attempt = 1; attempt <= 2; ++attempt)
        QTest::addRow("TXT, SIGSEGV while an answer is late, %d", attempt) << SIGSEGV << true << "answer late" << QStringList();
    QTest::newRow("TXT, SIGKILL while an answer is late") << SIGKILL << true << "answer late" << QStringList();
    // The answer owed comes a byte at a time as the program dies: the
    // guardian takes each as it comes, and the zeros follow the last.
    for (int attempt = 1; attempt <= 3; ++attempt)
        QTest::addRow("TXT, SIGKILL while an answer comes in pieces, %d", attempt)
            << SIGKILL << true << "answers in pieces" << QStringList();
}

// However the process dies, a driven output goes to 0, with one exchange,
// and the port is free for the next program right after.
void TestFtMscLib::fatalSignalSendsZeros()
{
    QFETCH(int, signal);
    QFETCH(bool, driving);
    QFETCH(QString, before);
    QFETCH(QStringList, txt);
    const bool isTxt = QString(QTest::currentDataTag()).startsWith("TXT");
    SimProcess sim;
    QVERIFY(sim.start((isTxt ? QStringList{"--txt", "127.0.0.1:0"} + txt : QStringList()) + QStringList{"--log-frames"},
                      simDir.path()));
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // In the sanitizer build AddressSanitizer would report the deliberate
    // signal as a crash of its own.
    const QString asan = env.value("ASAN_OPTIONS");
    env.insert("ASAN_OPTIONS", (asan.isEmpty() ? QString() : asan + ":") + "handle_segv=0:handle_sigbus=0:handle_abort=0"
                   // A child forked from the threads of the program cannot
                   // have them stopped for a leak check, and says so.
                   + (before == "fork-exit" ? ":detect_leaks=0" : ""));
    probe.setProcessEnvironment(env);
    const QStringList probeArguments = QStringList{kLibrary, sim.port} + (driving ? QStringList() : QStringList{"idle"});
    QString why;
    const std::unique_ptr<TestCgroup> cgroup(before == "cgroup killed" ? new TestCgroup(why) : nullptr);
    if (cgroup && cgroup->root.isEmpty())
        QSKIP(qPrintable(why));
    if (cgroup) {
        // In its cgroup before it opens anything, so its guardians start there.
        probe.start("sh", QStringList{"-c", "echo $$ > \"$0\" && exec \"$@\"", cgroup->procs(), KAVRIK_EXITPROBE}
                              + probeArguments);
    } else {
        probe.start(KAVRIK_EXITPROBE, probeArguments);
    }
    QVERIFY(probe.waitForStarted());
    QVERIFY(probe.waitForReadyRead(5000));
    QCOMPARE(probe.readLine().trimmed(), QByteArray(driving ? "driving" : "idle"));
    const pid_t program = pid_t(probe.processId());
    if (driving)
        QVERIFY(!sim.waitOutput(0, 0, 512, 5000).isEmpty());
    QList<pid_t> first;
    QVERIFY(waitUntil([&] { return (first = guardiansOf(program)).size() == 2; }, 2000));
    // Under a subreaper (a session manager, say), guardians the program
    // leaves behind stopped are not continued by the kernel.
    const bool subreaper = before == "guardians stopped";
    if (subreaper)
        QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    QList<pid_t> last;
    pid_t child = 0;
    const auto childEnds = qScopeGuard([&child] {
        if (child > 0)
            ::kill(child, SIGKILL);
    });
    if (before.startsWith("fork")) {
        // The child holds whatever the program had open.
        QVERIFY(probe.write(before.toLatin1() + "\n") > 0);
        QVERIFY(probe.waitForReadyRead(2000));
        child = pid_t(probe.readLine().trimmed().mid(6).toInt()); // "child N"
        QVERIFY(child > 0);
        if (before == "fork-exit")
            child = 0;
    }
    const auto stoppedEnd = qScopeGuard([&] {
        if (!subreaper)
            return;
        // Those that were left to this process.
        for (const pid_t guardian : last) {
            ::kill(guardian, SIGKILL);
            ::waitpid(guardian, nullptr, 0);
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    });
    if (before == "guardians killed" || before == "guardians stopped") {
        for (const pid_t guardian : first)
            QCOMPARE(::kill(guardian, before == "guardians killed" ? SIGKILL : SIGSTOP), 0);
        const bool replaced = waitUntil([&] {
            const QList<pid_t> next = guardiansOf(program);
            return next.size() == 2 && !next.contains(first[0]) && !next.contains(first[1]);
        }, 3000);
        // Stopped ones that are not replaced show in what the kill leaves.
        QVERIFY(replaced || before == "guardians stopped");
        // Ready once they have mapped what they need; a few milliseconds.
        QTest::qWait(100);
    }
    if (before.startsWith("guardian killed:")) {
        QCOMPARE(::kill(first[0], SIGKILL), 0);
        spin(before.mid(16).toInt());
    }
    if (before == "answers in pieces") {
        QVERIFY(sim.command("split 1"));
        QTest::qWait(100);
    }
    if (before == "answer late") {
        QVERIFY(sim.command("latency 800"));
        QTest::qWait(450);
    }
    last = guardiansOf(program);
    const qint64 killedAt = monotonicMicroseconds();
    if (before == "guardians terminated") {
        for (const pid_t guardian : last)
            QCOMPARE(::kill(guardian, SIGTERM), 0);
    }
    if (cgroup)
        QVERIFY(cgroup->kill());
    else
        QCOMPARE(::kill(program, signal), 0);
    QVERIFY(probe.waitForFinished(3000));
    // The signal went on to its default action: no exit handler ran.
    QCOMPARE(probe.exitStatus(), QProcess::CrashExit);
    QCOMPARE(probe.exitCode(), signal);
    if (driving) {
        const QJsonObject stopped = sim.waitOutput(0, 0, 0, 2000);
        QVERIFY(!stopped.isEmpty());
        const qint64 afterUs = stopped["t_us"].toVariant().toLongLong() - killedAt;
        // After the answer still owed, where one is late.
        const qint64 withinUs = before == "answer late" ? 1500000 : 200000;
        QVERIFY2(afterUs >= 0 && afterUs <= withinUs, qPrintable(QStringLiteral("0 after %1 us").arg(afterUs)));
        // The handler and the guardian agree: the zeros go out once, under
        // a transaction id of their own; a TXT's come after the answer to
        // what was on its way, then StopOnline.
        sim.waitFor([](const QJsonObject &) { return false; }, 300);
        // Where the answer owed is later than anybody waits for it, the
        // zeros go before it: the TXT counts them as too early, and the
        // StopOnline after them goes unanswered.
        if (isTxt && before != "answer late") {
            QCOMPARE(sim.count("violation"), 0);
            // Online mode ended once, after a crash as well (the handler's
            // zeros, a guardian's StopOnline).
            QTRY_COMPARE(sim.count("frame", [](const QJsonObject &e) { return e["cmd"].toDouble() == 0x9BE5082C; }), 1);
        }
        QSet<int> tids;
        for (const QJsonObject &e : qAsConst(sim.events)) {
            if (e["event"] == "frame" && e["cmd"] == 2 && e["t_us"].toVariant().toLongLong() > killedAt) {
                QVERIFY2(!tids.contains(e["tid"].toInt()), qPrintable(QString::number(e["tid"].toInt())));
                tids.insert(e["tid"].toInt());
            }
        }
    } else {
        // Frames still on their way at the kill aside, nothing more comes.
        sim.waitFor([](const QJsonObject &) { return false; }, 300);
        QCOMPARE(sim.count("frame", [killedAt](const QJsonObject &e) {
            return e["t_us"].toVariant().toLongLong() > killedAt + 50000;
        }), 0);
    }
    if (child > 0) {
        // What it holds of the port, it holds until it ends.
        ::kill(child, SIGKILL);
        QVERIFY(waitUntil([child] { return ::kill(child, 0) != 0; }, 2000));
    }
    // The next program meets a TXT that answers in time again.
    if (before == "answer late")
        QVERIFY(sim.command("latency 0"));
    api.ftxInitLib(); // when this test runs alone
    uint32_t status = FTLIB_ERR_UNKNOWN;
    FtHandle h = 0;
    QVERIFY2(waitUntil([&] { return (h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &status)) != 0; }, 1000), qPrintable(QString::number(status, 16)));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestFtMscLib::withoutGuardian_data()
{
    QTest::addColumn<QByteArray>("guardian"); // what stands beside the library
    QTest::newRow("copied without it") << QByteArray();
    QTest::newRow("one that ends at once") << QByteArray("#!/bin/sh\nexit 0\n");
}

// A library without a working guardian still drives, and says so once even
// with the trace off.
void TestFtMscLib::withoutGuardian()
{
    QFETCH(QByteArray, guardian);
    QTemporaryDir dir;
    const QString library = dir.path() + "/libftMscLib.so";
    QVERIFY(QFile::copy(kLibrary, library));
    if (!guardian.isEmpty()) {
        QFile file(dir.path() + "/ftmsclib-guardian");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(guardian);
        file.close();
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    SimProcess sim;
    QVERIFY(sim.start({}, simDir.path()));
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("KAVRIK_FTLIB_TRACE");
    env.remove("KAVRIK_FTLIB_TRACE_FILE");
    probe.setProcessEnvironment(env);
    probe.start(KAVRIK_EXITPROBE, {library, sim.port});
    QVERIFY(probe.waitForReadyRead(5000));
    QCOMPARE(probe.readLine().trimmed(), QByteArray("driving"));
    QVERIFY(!sim.waitOutput(0, 0, 512, 5000).isEmpty());
    // Tried again after a second, and not said again.
    QTest::qWait(1200);
    probe.write("exit\n");
    QVERIFY(probe.waitForFinished(3000));
    QCOMPARE(probe.exitCode(), 0);
    QVERIFY(!sim.waitOutput(0, 0, 0, 1000).isEmpty());
    const QString said = QString::fromUtf8(probe.readAllStandardError());
    QCOMPARE(said.count("no working guardian"), 1);
    QVERIFY2(said.contains("outputs stay as they are if the program is killed"), qPrintable(said));
}

// Nobody reads the headless simulator's events for a while: it goes on
// serving, and keeps them for when it is read again.
void TestFtMscLib::simulatorOutputUnread()
{
    int out[2], in[2];
    QCOMPARE(::pipe2(out, O_CLOEXEC), 0);
    QCOMPARE(::pipe2(in, O_CLOEXEC), 0);
    ::fcntl(out[0], F_SETPIPE_SZ, 4096); // full after a few dozen events
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // Its commands: it serves as long as this end stays open.
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    const QByteArray dir = simDir.path().toUtf8();
    const char *argv[] = {KAVRIK_BIN_DIR "/kavrik-simulator", "--headless", "--log-frames", "--watchdog", "0", nullptr};
    const QByteArray simDirVariable = "KAVRIK_SIM_DIR=" + dir;
    std::vector<char *> env;
    for (char **e = environ; *e; ++e)
        env.push_back(*e);
    env.push_back(const_cast<char *>(simDirVariable.constData()));
    env.push_back(nullptr);
    pid_t pid = -1;
    QCOMPARE(::posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv), env.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(in[0]);
    // Its reading end closed first: a simulator stuck writing gets EPIPE.
    const auto ended = qScopeGuard([&] {
        ::close(out[0]);
        ::close(in[1]);
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    });
    // The first line says where the port is; nothing is read after it.
    QByteArray ready;
    char c = 0;
    pollfd readable{out[0], POLLIN, 0};
    while (::poll(&readable, 1, 5000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n')
        ready.append(c);
    const QString port = QJsonDocument::fromJson(ready).object()["port"].toString();
    QVERIFY2(!port.isEmpty(), ready.constData());

    uint32_t status = FTLIB_ERR_UNKNOWN;
    const FtHandle h = api.ftxOpenComDevice(port.toUtf8().constData(), 38400, &status);
    QVERIFY2(h, qPrintable(QString::number(status, 16) + QLatin1Char(' ') + port));
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.SetOutPwmValues(h, 0, 0, 512), uint32_t(FTLIB_ERR_SUCCESS));
    // Exchanges every 10 ms, two events each: the pipe is long full.
    QTest::qWait(2000);
    QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
    // Read again, the events kept meanwhile come, in order.
    QByteArray rest;
    char buffer[4096];
    QElapsedTimer reading;
    reading.start();
    while (!rest.contains("\"duty\":0") && reading.elapsed() < 5000) {
        if (::poll(&readable, 1, 100) > 0) {
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n > 0)
                rest.append(buffer, static_cast<int>(n));
        }
    }
    const int driven = rest.indexOf("\"event\":\"output\",\"ta\":0,\"out\":0,\"duty\":512");
    QVERIFY(driven >= 0);
    QVERIFY(rest.indexOf("\"event\":\"output\",\"ta\":0,\"out\":0,\"duty\":0", driven) > driven);

    // Unread again, past the cap on the events it keeps: every command is
    // still answered, the last one too.
    const int commands = 21000;
    const QByteArray input = QByteArray("status\n").repeated(commands) + "quit\n";
    for (qint64 sent = 0; sent < input.size();) {
        const ssize_t n = ::write(in[1], input.constData() + sent, size_t(input.size() - sent));
        QVERIFY(n > 0 || errno == EINTR);
        sent += qMax<ssize_t>(n, 0);
    }
    QByteArray all;
    QByteArray chunk(1 << 16, '\0');
    QElapsedTimer drained;
    drained.start();
    for (;;) {
        QVERIFY(drained.elapsed() < 20000);
        if (::poll(&readable, 1, 100) <= 0)
            continue;
        const ssize_t n = ::read(out[0], chunk.data(), size_t(chunk.size()));
        if (n <= 0)
            break;
        all.append(chunk.constData(), int(n));
    }
    QCOMPARE(all.count("{\"event\":\"ack\",\"command\":\"status\"}"), commands);
    QVERIFY(all.indexOf("{\"event\":\"ack\",\"command\":\"quit\"}")
            > all.lastIndexOf("{\"event\":\"ack\",\"command\":\"status\"}"));
    QVERIFY(all.contains("\"event\":\"dropped\""));
}

void TestFtMscLib::simulatorWatchdogReport()
{
    SimProcess sim;
    const FtHandle h = openRunning(sim, {"--watchdog", "200"});
    QVERIFY(h);
    QCOMPARE(api.SetOutPwmValues(h, 0, 2, 300), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!sim.waitOutput(0, 2, 300).isEmpty());
    // Unplugged, the host can no longer send zeros: the watchdog acts, and
    // says so.
    QVERIFY(sim.command("hangup"));
    const QJsonObject fired = sim.waitFor([](const QJsonObject &e) { return e["event"] == "watchdog"; }, 2000);
    QVERIFY(!fired.isEmpty());
    QVERIFY2(fired["idle_ms"].toInt() >= 200, qPrintable(QString::number(fired["idle_ms"].toInt())));
    QCOMPARE(fired["count"].toInt(), 1);
    QCOMPARE(sim.count("output", [](const QJsonObject &e) { return e["out"] == 2 && e["duty"] == 0; }), 1);
    QCOMPARE(sim.status()["watchdog_firings"].toInt(), 1);
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestFtMscLib::simulatorRejectsBadWatchdog_data()
{
    QTest::addColumn<QString>("value");
    // Each of these used to mean "never" or a silently different time.
    QTest::newRow("letters") << "abc";
    QTest::newRow("negative") << "-5";
    QTest::newRow("unit after the number") << "10ms";
    QTest::newRow("empty") << "";
    QTest::newRow("beyond 64 bits") << "99999999999999999999";
}

void TestFtMscLib::simulatorRejectsBadWatchdog()
{
    QFETCH(QString, value);
    QProcess sim;
    sim.start(KAVRIK_BIN_DIR "/kavrik-simulator", {"--headless", "--no-announce", "--watchdog", value});
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(sim.readAllStandardError().contains("--watchdog"));
    QVERIFY(sim.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestFtMscLib)
#include "tst_ftmsclib.moc"
