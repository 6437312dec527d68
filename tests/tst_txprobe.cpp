// SPDX-License-Identifier: GPL-3.0-or-later
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "tests/ftlibapi.h"
#include "tests/simprocess.h"

namespace {

const char *kLibrary = KAVRIK_BIN_DIR "/libftMscLib.so";
const char *kProbe = KAVRIK_BIN_DIR "/kavrik-txprobe";

struct ProbeRun {
    int exitCode = -1;
    QString out;
    QString report;
};

// Runs kavrik-txprobe (or a copy of it) to its end, with `input` on its stdin.
ProbeRun runProbe(const QStringList &args, const QString &workDir, const QByteArray &input = {},
                  const QString &program = QString::fromUtf8(kProbe))
{
    QProcess probe;
    probe.setWorkingDirectory(workDir);
    probe.start(program, args);
    ProbeRun run;
    if (!probe.waitForStarted(5000))
        return run;
    probe.write(input);
    probe.closeWriteChannel();
    if (!probe.waitForFinished(30000)) {
        probe.kill();
        probe.waitForFinished(3000);
        return run;
    }
    run.exitCode = probe.exitStatus() == QProcess::NormalExit ? probe.exitCode() : -1;
    run.out = QString::fromUtf8(probe.readAllStandardOutput());
    return run;
}

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The lines of a report's conversation: event, command, TID, what.
QList<QStringList> conversation(const QString &report)
{
    QList<QStringList> lines;
    bool inside = false;
    for (const QString &line : report.split('\n')) {
        if (line.startsWith("== "))
            inside = line == "== conversation";
        else if (inside && !line.isEmpty() && !line.startsWith('#'))
            lines << line.split('\t');
    }
    return lines;
}

} // namespace

// kavrik-txprobe against the simulator, a silent pty and a busy port; and
// its reports replayed by the simulator, so that a user's report becomes a
// test of the library.
class TestTxProbe : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void reportOfAWorkingController_data();
    void reportOfAWorkingController();
    void silentPort_data();
    void silentPort();
    void busyPort();
    void defaultReportName();
    void motorAndSilenceTests();
    void commandLine_data();
    void commandLine();
    void replayedReport_data();
    void replayedReport();

private:
    FtLibApi api;
    QTemporaryDir simDir;
    QTemporaryDir work;
};

void TestTxProbe::initTestCase()
{
    QVERIFY(simDir.isValid() && work.isValid());
    qputenv("KAVRIK_SIM_DIR", simDir.path().toUtf8());
    // The report's port list asks no TXT on this machine's own network.
    qputenv("KAVRIK_FTLIB_TXT_SEARCH", "0");
    QVERIFY2(api.load(kLibrary), dlerror());
    QCOMPARE(api.ftxInitLib(), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestTxProbe::cleanup()
{
    qunsetenv("KAVRIK_FTLIB_TRACE");
    qunsetenv("KAVRIK_FTLIB_TRACE_FILE");
}

void TestTxProbe::reportOfAWorkingController_data()
{
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<bool>("alone"); // copied away from the guardian
    QTest::addColumn<QStringList>("expected"); // in the report; %1 the port
    // The exchanges sent and their answers in the conversation: the command
    // column and the start of the bytes, the answer's event, command and verdict.
    QTest::addColumn<QStringList>("exchange");
    QTest::addColumn<QStringList>("answer");
    const QStringList tx{"result: OK", "serial number: 0A1B2C3D4E5F", "controller: \"ROBO TX-000\"",
                         "exchanges: 200 answered", "given: %1", "== console\nbytes: 0d 0a 52 4f 42 4f",
                         "stop: zeros answered",
                         // The ROBO TX's new session at the open clears its counts.
                         "== inputs\nMaster: I1-I8 0 1 0 0 0 0 0 0, C1-C4 0 0 0 0\n"};
    const QStringList txExchange{"2", "02 55 00 44 "};
    const QStringList txAnswer{"frame", "102", "answer"};
    QTest::newRow("installed") << QStringList{"--serial", "0A1B2C3D4E5F"} << false
                               << tx + QStringList{"== errors\nnone", "guardian: watching (pid "} << txExchange << txAnswer;
    QTest::newRow("copied without the guardian")
        << QStringList{"--serial", "0A1B2C3D4E5F"} << true << tx + QStringList{"guardian: none: no ftmsclib-guardian"}
        << txExchange << txAnswer;
    // The TXT's identity from its status, Extension 1 learnt from the
    // exchanges' answers, the packets by their ids, and the stop it answered.
    QTest::newRow("TXT with Extension 1")
        << QStringList{"--txt", "127.0.0.1:0", "--extensions", "1"} << false
        << QStringList{"result: OK\nverdict: answers as a TXT: status query, online mode and 200 exchanges answered",
                       "controller: \"TXT simulator\", firmware 4.7.0 (0x04070000)", "extensions: Extension 1 in use",
                       "exchanges: 200 answered", "== link\ngiven: %1\naddress: host 127.0.0.1, port ",
                       "kind: this computer\ninterface: lo, address 127.", "0xdc21219a QueryStatus: min ",
                       "0x163ff61d StartOnline: min ", "stop: zeros and StopOnline answered", "== errors\nnone",
                       "guardian: watching (pid ",
                       "== inputs\nMaster: I1-I8 0 1 0 0 0 0 0 0, C1-C4 0 0 40000 0\n"
                       "Extension 1: I1-I8 0 0 0 0 0 0 0 1, C1-C4 0 0 0 0\n"}
        << QStringList{"0xfbc56f98", "98 6f c5 fb "} << QStringList{"rx", "0x6f3b54e6", " bytes: answers ExchangeDataCmpr"};
}

void TestTxProbe::reportOfAWorkingController()
{
    QFETCH(QStringList, simulator);
    QFETCH(bool, alone);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, exchange);
    QFETCH(QStringList, answer);
    SimProcess sim;
    QVERIFY(sim.start(simulator + QStringList{"--log-frames"}, simDir.path()));
    // Listed in the report as the last answer showed them.
    QVERIFY(sim.command("input 0 2 closed") && sim.command("input 1 8 closed") && sim.command("counter 0 3 40000"));
    QTemporaryDir elsewhere;
    const QString program = alone ? elsewhere.path() + "/kavrik-txprobe" : QString::fromUtf8(kProbe);
    QVERIFY(!alone || QFile::copy(kProbe, program));
    const QString file = work.path() + "/working.txt";
    const ProbeRun run = runProbe({sim.port, "-o", file}, work.path(), {}, program);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(QRegularExpression("\nOK: [^\n]* and 200 exchanges answered\n").match(run.out).hasMatch(), qPrintable(run.out));
    QCOMPARE(run.out.contains("Warning: no working guardian"), alone);
    QVERIFY(run.out.contains(file));
    const QString report = readAll(file);
    for (const QString &line : expected + QStringList{"program: kavrik-txprobe ", "library: 01.05.11  (2012/02/19)",
                                                      "kernel: Linux", "os: "})
        QVERIFY2(report.contains(QString(line).replace("%1", sim.port)), qPrintable(line + "\n---\n" + report));
    // The 200 counted, and those answered before the stop took effect (more
    // of them on a busy machine).
    QVERIFY2(QRegularExpression((exchange[0] == "2" ? "cmd 2" : exchange[0] + " ExchangeDataCmpr")
                                + ": min [0-9.]+  median [0-9.]+  p99 [0-9.]+  max [0-9.]+ ms \\(n = 2[0-9][0-9]\\)")
                 .match(report)
                 .hasMatch(),
             qPrintable(report.left(3000)));
    // Every frame with its time and, for what came back, the verdict.
    const QList<QStringList> lines = conversation(report);
    int sent = 0, answers = 0;
    qint64 last = -1;
    for (const QStringList &f : lines) {
        QCOMPARE(f.size(), 6);
        QVERIFY(f[0].toLongLong() >= last);
        last = f[0].toLongLong();
        if (f[1] == "tx" && f[2] == exchange[0]) {
            ++sent;
            QVERIFY2(f[5].startsWith(exchange[1]), qPrintable(f[5]));
        }
        answers += f[1] == answer[0] && f[2] == answer[1] && f[4].endsWith(answer[2]);
    }
    QVERIFY2(sent >= 200 && answers >= 200, qPrintable(QString("%1 sent, %2 answered").arg(sent).arg(answers)));
    // Nothing was ever driven.
    QCOMPARE(sim.count("output", [](const QJsonObject &e) { return e["duty"].toInt() != 0; }), 0);
    QCOMPARE(sim.count("violation"), 0);
}

void TestTxProbe::silentPort_data()
{
    QTest::addColumn<QString>("port"); // "pty", "held pty" (open in another program as well), "muted TXT", "closed TXT"
    QTest::addColumn<QString>("verdict"); // %1 the port, %2 the other program's pid
    QTest::addColumn<QString>("open");
    // The requests it sent, all of them unanswered: command column, bytes.
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("bytes");
    QTest::addColumn<int>("requests");
    QTest::newRow("nobody else") << "pty" << "no answer came from %1: not a single byte"
                                 << "FTLIB_ERR_INIT_COM_TIMEOUT" << "1" << "02 55 00 1c" << 3;
    QTest::newRow("open in another program")
        << "held pty" << "no answer came from %1, which is open in pid %2 (port-holder-with-a-long-name) as well"
        << "FTLIB_ERR_INIT_COM_TIMEOUT" << "1" << "02 55 00 1c" << 3;
    QTest::newRow("TXT that takes the connection, muted")
        << "muted TXT" << "no answer from %1: it took the connection but did not answer the status query"
        << "FTLIB_ERR_INIT_COM_TIMEOUT" << "0xdc21219a" << "9a 21 21 dc" << 1;
    QTest::newRow("nothing listening at the address")
        << "closed TXT" << "refused: nothing takes connections at %1" << "FTLIB_ERR_CONNECTION_REFUSED" << "" << "" << 0;
}

void TestTxProbe::silentPort()
{
    QFETCH(QString, port);
    QFETCH(QString, verdict);
    QFETCH(QString, open);
    QFETCH(QString, command);
    QFETCH(QString, bytes);
    QFETCH(int, requests);
    QString name;
    int master = -1;
    SimProcess sim;
    // Bound, never listening: connections to it are refused, and nobody
    // else can take the port meanwhile.
    int bound = -1;
    QTemporaryDir dir;
    QProcess holder;
    if (port.endsWith("pty")) {
        // A pty nobody answers on: the probe's own, not a simulator.
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        name = QString::fromLocal8Bit(::ptsname(master));
    } else if (port == "muted TXT") {
        QVERIFY(sim.start({"--txt", "127.0.0.1:0", "--mute"}, simDir.path()));
        name = sim.port;
    } else {
        bound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        QVERIFY(bound >= 0 && ::bind(bound, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::getsockname(bound, reinterpret_cast<sockaddr *>(&address), &size) == 0);
        name = QString("127.0.0.1:%1").arg(ntohs(address.sin_port));
    }
    if (port == "held pty") {
        const QString program = dir.path() + "/port-holder-with-a-long-name";
        QVERIFY(QFile::copy(QStandardPaths::findExecutable("sleep"), program));
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
        holder.setStandardInputFile(name);
        holder.start(program, {"30"});
        QVERIFY(holder.waitForStarted());
    }
    verdict = verdict.arg(name);
    if (port == "held pty")
        verdict = verdict.arg(holder.processId());
    const QString file = work.path() + "/silent.txt";
    const ProbeRun run = runProbe({name, "--output", file}, work.path());
    holder.kill();
    holder.waitForFinished();
    if (master >= 0)
        ::close(master);
    if (bound >= 0)
        ::close(bound);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.out.contains("FAILED: " + verdict), qPrintable(run.out));
    const QString report = readAll(file);
    QVERIFY2(report.contains("result: FAILED\nverdict: " + verdict), qPrintable(report));
    QVERIFY2(report.contains("open: " + open), qPrintable(report));
    // A TXT has no console.
    QCOMPARE(report.contains("no answer to the serial-number probe"), port.endsWith("pty"));
    int sent = 0;
    for (const QStringList &f : conversation(report)) {
        // The console probe is no frame.
        if (f[1] == "tx" && f[2] != "-") {
            QCOMPARE(f[2], command);
            QVERIFY2(f[5].startsWith(bytes), qPrintable(f[5]));
            ++sent;
        }
        QVERIFY2(f[1] != "rx", qPrintable(f.join(' ')));
    }
    QCOMPARE(sent, requests);
}

void TestTxProbe::busyPort()
{
    SimProcess sim;
    QVERIFY(sim.start({}, simDir.path()));
    uint32_t err = FTLIB_ERR_UNKNOWN;
    const FtHandle h = api.ftxOpenComDevice(sim.port.toUtf8().constData(), 38400, &err);
    QVERIFY(h);
    const QString file = work.path() + "/busy.txt";
    const ProbeRun run = runProbe({sim.port, "-o", file}, work.path());
    QCOMPARE(run.exitCode, 1);
    const QString report = readAll(file);
    QVERIFY2(report.contains("open: FTLIB_ERR_DEVICE_IS_OPEN"), qPrintable(report));
    QVERIFY2(report.contains("the port is in use by ") && report.contains("ModemManager"), qPrintable(report));
    // This process holds it, and its guardian beside it, which is not named.
    QVERIFY2(report.contains(QString("pid %1 (").arg(QCoreApplication::applicationPid())), qPrintable(report));
    QVERIFY2(!report.contains("(ftmsclib-guardian)"), qPrintable(report));
    QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

void TestTxProbe::defaultReportName()
{
    SimProcess sim;
    QVERIFY(sim.start({}, simDir.path()));
    QTemporaryDir here;
    const ProbeRun run = runProbe({sim.port}, here.path());
    QCOMPARE(run.exitCode, 0);
    const QStringList files = QDir(here.path()).entryList({"kavrik-txprobe-*.txt"}, QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY(QRegularExpression("^kavrik-txprobe-\\d{8}-\\d{6}\\.txt$").match(files[0]).hasMatch());
    QVERIFY(readAll(here.path() + "/" + files[0]).startsWith("kavrik-txprobe report\n"));
}

void TestTxProbe::motorAndSilenceTests()
{
    SimProcess sim;
    QVERIFY(sim.start({"--log-frames"}, simDir.path()));
    const QString file = work.path() + "/motor.txt";
    const ProbeRun run = runProbe({sim.port, "-o", file, "--motor-test", "--silence-test", "--motor", "2"}, work.path(),
                                  "r\nl\ny\n");
    QCOMPARE(run.exitCode, 0);
    const QString report = readAll(file);
    for (const QString &expected :
         QStringList{"motor test O3: r", "motor test O4: l", "silence test (3 s, M2): y", "link: kept"})
        QVERIFY2(report.contains(expected), qPrintable(expected + "\n---\n" + report));
    // M2 one way, stopped, the other way, stopped; then on, and off only
    // after the silence.
    sim.readLines();
    QStringList driven;
    for (const QJsonObject &e : sim.events) {
        if (e["event"] == "output")
            driven << QString("O%1=%2").arg(e["out"].toInt() + 1).arg(e["duty"].toInt());
    }
    QCOMPARE(driven, (QStringList{"O3=512", "O3=0", "O4=512", "O4=0", "O3=512", "O3=0"}));
    qint64 longestGap = 0, previous = -1;
    for (const QJsonObject &e : sim.events) {
        if (e["event"] != "frame" || e["cmd"] != 2)
            continue;
        const qint64 t = e["t_us"].toVariant().toLongLong();
        if (previous >= 0)
            longestGap = qMax(longestGap, t - previous);
        previous = t;
    }
    QVERIFY2(longestGap >= 2900000 && longestGap < 4000000, qPrintable(QString::number(longestGap)));
    QCOMPARE(sim.count("violation"), 0);
}

void TestTxProbe::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: kavrik-txprobe [PORT|ADDRESS] [-o|--output FILE]";
    QTest::newRow("version") << QStringList{"--version"} << 0 << "kavrik-txprobe " KAVRIK_VERSION " (controller library 01.05.11";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << "";
    QTest::newRow("two ports") << QStringList{"/dev/ttyACM0", "/dev/ttyACM1"} << 2 << "";
    QTest::newRow("motor 5") << QStringList{"--motor", "5"} << 2 << "";
    QTest::newRow("output without a file") << QStringList{"-o"} << 2 << "";
}

void TestTxProbe::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QTemporaryDir here;
    const ProbeRun run = runProbe(args, here.path());
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.out.contains(said), qPrintable(run.out));
    // A wrong command line writes no report.
    QCOMPARE(QDir(here.path()).entryList(QDir::Files).size(), 0);
}

void TestTxProbe::replayedReport_data()
{
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<QString>("report");
    QTest::addColumn<uint>("status");
    QTest::addColumn<QStringList>("traced");
    QTest::newRow("information unanswered, serial with letters")
        << QStringList{"--ignore", "6", "--serial", "77AB"} << QString() << uint(FTLIB_ERR_SUCCESS)
        << QStringList{"serial number 77AB", "no answer to the information request"};
    QTest::newRow("status answered with an error code")
        << QStringList{"--error", "7:255"} << QString() << uint(FTLIB_ERR_INIT_COM)
        << QStringList{"rx frame cmd 255 tid 3 sid 1: wrong command"};
    QTest::newRow("answers 60 ms late") << QStringList{"--latency", "60"} << QString() << uint(FTLIB_ERR_SUCCESS)
                                        << QStringList{"serial number 0000000001"};
    // Not a controller: text and bytes, never a frame, both times.
    QTest::newRow("answers noise") << QStringList{"--noise"} << QString() << uint(FTLIB_ERR_INIT_COM)
                                   << QStringList{"form no frame: not a ROBO TX"};
    // A report kept as it came: a controller that does not answer the status
    // request, answers the echo empty, and has a serial number with letters.
    QTest::newRow("kept report") << QStringList{} << QString(KAVRIK_TEST_DATA "/txprobe-status-unanswered.txt")
                                 << uint(FTLIB_ERR_SUCCESS)
                                 << QStringList{"serial number 00A4B3C2D1E0", "no answer to the status request"};
}

void TestTxProbe::replayedReport()
{
    QFETCH(QStringList, device);
    QFETCH(QString, report);
    QFETCH(uint, status);
    QFETCH(QStringList, traced);
    if (report.isEmpty()) {
        SimProcess recorded;
        QVERIFY(recorded.start(device, simDir.path()));
        report = work.path() + "/recorded.txt";
        const ProbeRun run = runProbe({recorded.port, "-o", report}, work.path());
        QCOMPARE(run.exitCode, status == FTLIB_ERR_SUCCESS ? 0 : 1);
    }
    SimProcess replayed;
    QVERIFY(replayed.start({"--replay", report, "--log-frames"}, simDir.path()));
    const QString trace = work.path() + "/replay-trace.txt";
    QFile::remove(trace);
    qputenv("KAVRIK_FTLIB_TRACE", "1");
    qputenv("KAVRIK_FTLIB_TRACE_FILE", trace.toUtf8());
    uint32_t err = FTLIB_ERR_UNKNOWN;
    const FtHandle h = api.ftxOpenComDevice(replayed.port.toUtf8().constData(), 38400, &err);
    QCOMPARE(err, uint32_t(status));
    const QString text = readAll(trace);
    for (const QString &line : traced)
        QVERIFY2(text.contains(line), qPrintable(line + "\n---\n" + text));
    if (!h)
        return;
    // The replayed controller keeps answering exchanges as it did.
    QCOMPARE(api.ftxStartTransferArea(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.SetOutPwmValues(h, 0, 5, 250), uint32_t(FTLIB_ERR_SUCCESS));
    QVERIFY(!replayed.waitOutput(0, 5, 250, 3000).isEmpty());
    QCOMPARE(api.GetComStatus(h), uint32_t(FTLIB_ERR_SUCCESS));
    QCOMPARE(api.ftxCloseDevice(h), uint32_t(FTLIB_ERR_SUCCESS));
}

QTEST_GUILESS_MAIN(TestTxProbe)
#include "tst_txprobe.moc"
