// SPDX-License-Identifier: GPL-3.0-or-later
#include "txprobe/probe.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>

#include "ftmsclib/device.h"
#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/portscan.h"
#include "ftmsclib/systemports.h"
#include "ftmsclib/trace.h"
#include "ftmsclib/version.h"
#include "protocol/txt.h"
#include "rendezvous/portfailure.h"
#include "rendezvous/txtaddress.h"
#include "txprobe/report.h"
#include "txprobe/system.h"

namespace txprobe {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kExchanges = 200;
// The exchanges stop here even when fewer were answered (a slow Bluetooth
// link), so the whole report comes within 10 s.
constexpr milliseconds kExchangeBudget{6000};
constexpr int kMotorDuty = 512;
constexpr milliseconds kMotorRun{1000};
constexpr milliseconds kSilence{3000};
constexpr milliseconds kAnswerWait{120000};

volatile std::sig_atomic_t interrupted = 0;

void onSignal(int)
{
    interrupted = 1;
}

void say(const std::string &text)
{
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Waits `duration`, or less when interrupted.
void pause(milliseconds duration)
{
    const auto end = Clock::now() + duration;
    while (!interrupted && Clock::now() < end) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
        sleepMs(static_cast<int>(std::min<long long>(std::max<long long>(left, 1), 20)));
    }
}

// One line from the user, or why there is none.
std::string ask(const std::string &question)
{
    std::fputs(question.c_str(), stdout);
    std::fflush(stdout);
    std::string line;
    const auto end = Clock::now() + kAnswerWait;
    while (!interrupted && Clock::now() < end) {
        char c;
        const int n = inputChar(c, 100);
        if (n == 0)
            continue;
        if (n < 0)
            return line.empty() ? "no answer (input closed)" : line;
        if (c == '\n')
            return line.empty() ? "no answer (empty line)" : line;
        if (line.size() < 200 && c != '\r')
            line += c;
    }
    say("");
    return interrupted ? "no answer (interrupted)" : "no answer within 120 s";
}

std::string statusName(std::uint32_t status, bool txt = false)
{
    switch (status) {
    case FTLIB_ERR_SUCCESS:
        return "FTLIB_ERR_SUCCESS";
    case FTLIB_ERR_OPEN_COM:
        return "FTLIB_ERR_OPEN_COM (no such or unusable device)";
    case FTLIB_ERR_ACCESS_DENIED:
        return "FTLIB_ERR_ACCESS_DENIED (no permission)";
    case FTLIB_ERR_DEVICE_IS_OPEN:
        return "FTLIB_ERR_DEVICE_IS_OPEN (the port is in use)";
    case FTLIB_ERR_INIT_COM_TIMEOUT:
        return txt ? "FTLIB_ERR_INIT_COM_TIMEOUT (no answer to the connection or the status query)"
                   : "FTLIB_ERR_INIT_COM_TIMEOUT (no answer to the echo request)";
    case FTLIB_ERR_INIT_COM:
        return txt ? "FTLIB_ERR_INIT_COM (the connection failed, or an answer that does not fit)"
                   : "FTLIB_ERR_INIT_COM (the port failed, or an answer that does not fit)";
    case FTLIB_ERR_HOST_UNKNOWN:
        return "FTLIB_ERR_HOST_UNKNOWN (the name is not known)";
    case FTLIB_ERR_CONNECTION_REFUSED:
        return "FTLIB_ERR_CONNECTION_REFUSED (nothing takes connections there)";
    case FTLIB_ERR_HOST_UNREACHABLE:
        return "FTLIB_ERR_HOST_UNREACHABLE (no way to that network)";
    default:
        break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "0x%08x", status);
    return text;
}

std::string hex8(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

std::string versionBytes(const std::array<std::uint8_t, 4> &v)
{
    char text[48];
    std::snprintf(text, sizeof text, "%02x %02x %02x %02x", v[0], v[1], v[2], v[3]);
    return text;
}

std::string defaultOutput()
{
    const std::time_t now = std::time(nullptr);
    const std::tm local = localTime(now);
    char name[64];
    std::strftime(name, sizeof name, "kavrik-txprobe-%Y%m%d-%H%M%S.txt", &local);
    return name;
}

void systemFacts(Report &report)
{
    report.fact("system", "program", std::string("kavrik-txprobe ") + KAVRIK_VERSION);
    report.fact("system", "library", std::string(ftlib::kVersionText) + " (built into the probe), version word "
                    + hex8(ftlib::kVersionWord));
    const std::time_t now = std::time(nullptr);
    const std::tm local = localTime(now);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %z", &local);
    report.fact("system", "date", date);
    systemDetails(report);
    std::string variables;
    for (const std::string &e : environmentVariables()) {
        if (e.rfind("KAVRIK_", 0) == 0)
            variables += std::string(variables.empty() ? "" : " ") + e;
    }
    report.fact("system", "environment", variables.empty() ? "no KAVRIK_ variables" : variables);
}

// Everything the port search lists, as the program would show it.
std::string portsFound()
{
    std::string ports;
    for (const ftlib::PortEntry &entry : ftlib::scanPorts(FT_PORTS_ALL))
        ports += (ports.empty() ? "" : "; ") + entry.path + " " + entry.description;
    return ports.empty() ? "none" : ports;
}

void portFacts(Report &report, const std::string &path, const std::string &canonical)
{
    report.fact("port", "given", path);
    report.fact("port", "device", canonical);
    portDetails(report, canonical);
    report.fact("port", "ports found", portsFound());
}

void txtLinkFacts(Report &report, const std::string &address)
{
    report.fact("link", "given", address);
    rendezvous::TxtAddress parsed;
    rendezvous::parseTxtAddress(address, parsed);
    report.fact("link", "address", "host " + parsed.host + ", port " + std::to_string(parsed.port));
    report.fact("link", "kind", rendezvous::txtLinkName(rendezvous::txtLink(parsed.host)));
    report.fact("link", "interface", hostInterface(parsed.host));
    report.fact("link", "ports found", portsFound());
}

// The first ROBO TX on USB, else the first Bluetooth port, else the first
// TXT the port search found (a simulator only when named).
std::string findController()
{
    for (int mode : {FT_PORTS_USB, FT_PORTS_BLUETOOTH}) {
        const std::vector<ftlib::PortEntry> ports = ftlib::scanPorts(mode);
        if (!ports.empty())
            return ports.front().path;
    }
    for (const ftlib::PortEntry &entry : ftlib::scanPorts(FT_PORTS_ALL)) {
        if (entry.kind != ftlib::PortKind::Simulator && rendezvous::isTxtAddress(entry.path))
            return entry.path;
    }
    return {};
}

// The TXT simulators the port search lists, which are probed only when named.
std::string txtSimulators()
{
    std::string list;
    for (const ftlib::PortEntry &entry : ftlib::scanPorts(FT_PORTS_ALL)) {
        if (entry.kind == ftlib::PortKind::Simulator && rendezvous::isTxtAddress(entry.path))
            list += (list.empty() ? "" : ", ") + entry.path;
    }
    return list.empty() ? "" : " (TXT simulators listening: " + list + ")";
}

std::string extensionList(unsigned online)
{
    std::string list;
    for (int k = 1; k <= 8; ++k) {
        if (online & (1u << (k - 1)))
            list += (list.empty() ? "" : ", ") + std::to_string(k);
    }
    return list.empty() ? "none" : list;
}

struct Outcome {
    bool ok = false;
    std::string verdict;
};

// Motor `m` (0-based) one way, then the other, each followed by a question.
void motorTest(ftlib::Device &device, Report &report, int m)
{
    const std::string name = "M" + std::to_string(m + 1);
    say("Motor test: " + name + " runs for 1 s one way, then for 1 s the other way. Watch it.");
    for (int side = 0; side < 2 && !interrupted; ++side) {
        const int output = 2 * m + side;
        report.step(name + ": output O" + std::to_string(output + 1) + " at " + std::to_string(kMotorDuty) + " for 1 s");
        device.setDuty(0, output, kMotorDuty);
        pause(kMotorRun);
        device.setDuty(0, output, 0);
        pause(milliseconds(300));
        const std::string answer =
            ask("Which way did " + name + " turn? l = left (anticlockwise, looking at the shaft), r = right, n = not at all: ");
        report.step(name + " on O" + std::to_string(output + 1) + ": " + answer);
        report.summary("motor test O" + std::to_string(output + 1), answer);
    }
}

void silenceTest(ftlib::Device &device, Report &report, int m)
{
    const std::string name = "M" + std::to_string(m + 1);
    say("Silence test: " + name + " starts; after 1 s the computer stops talking to the controller for 3 s."
        " Watch whether " + name + " stops by itself during those 3 s.");
    device.setDuty(0, 2 * m, kMotorDuty);
    pause(kMotorRun);
    report.step("link silent for 3 s with " + name + " at " + std::to_string(kMotorDuty));
    device.holdSilent(kSilence);
    // Stored now, sent the moment the silence ends.
    device.setDuty(0, 2 * m, 0);
    pause(kSilence + milliseconds(300));
    report.step("link talking again, " + name + " at 0");
    const std::string answer = ask("Did " + name + " stop by itself while the link was silent? y = yes, n = no: ");
    report.step("stopped by itself: " + answer);
    report.summary("silence test (3 s, " + name + ")", answer);
}

// Why the open failed, as the user can act on it.
std::string openFailure(const Report &report, std::uint32_t status, const std::string &path,
                        const std::string &canonical, long long openMs)
{
    using Kind = rendezvous::PortFailureKind;
    const rendezvous::PortFailure failure = rendezvous::classifyPortFailure(status, path, canonical);
    switch (failure.kind) {
    case Kind::NoAnswer: {
        const std::string holders = ftlib::holderList(failure.holders, false);
        if (!holders.empty())
            return "no answer came from " + path + ", which is open in " + holders
                + " as well: that program may take the controller's answers; close it and try again";
        [[fallthrough]];
    }
    case Kind::NotAController:
        if (report.bytesReceived() == 0)
            return "no answer came from " + path + ": not a single byte in " + std::to_string(openMs)
                + " ms. Is it the controller's port, is the controller switched on, and (Bluetooth) paired and in range?";
        return "the port answered, but not as this library expects a ROBO TX to: see the errors and the conversation";
    case Kind::NotFound:
        if (failure.bluetooth)
            return "the Bluetooth port " + path + " is not bound to the controller: pair it and bind the port with "
                + rendezvous::bluetoothBindCommand() + " (see the README)";
        break;
    case Kind::AccessDenied:
        return "no permission for " + path + ": add the user to the group 'dialout' (sudo usermod -aG dialout $USER) "
            "and log in again, or install the package, whose udev rule gives access to a controller on USB";
    case Kind::InUse:
        return "the port is in use: " + statusName(status) + "; the errors name the program that holds it";
    case Kind::None:
    case Kind::Other:
        break;
    }
    return "the port could not be used: " + statusName(status) + "; see the errors";
}

void reportIdentity(Report &report, const ftlib::Identity &id)
{
    report.summary("serial number", id.serial.empty() ? "unknown" : id.serial);
    if (id.infoAnswered) {
        report.summary("controller", "\"" + id.info.name + "\", Bluetooth " + id.info.btAddress);
        report.summary("versions", "hardware " + versionBytes(id.info.hardwareVersion) + ", firmware "
                           + versionBytes(id.info.firmwareVersion) + ", transfer area " + versionBytes(id.info.taVersion));
    } else {
        report.summary("controller", "information request unanswered");
    }
    report.summary("echo", id.echo == protocol::EchoReply::Echoed ? "payload echoed"
                       : id.echo == protocol::EchoReply::Empty   ? "empty reply"
                                                                 : "other payload");
    report.summary("status request", id.stateAnswered ? "answered, extensions online: " + extensionList(id.onlineExtensions)
                                                      : "unanswered or not sent");
}

// How the exchanges went, counted when they ended (the loop goes on).
struct Exchanges {
    int answered = 0;
    int sent = 0;
};

// Exchanges with every output at 0 until enough are answered, the link is
// lost or the budget is spent.
Exchanges runExchanges(ftlib::Device &device, Report &report)
{
    report.step("transfer started; " + std::to_string(kExchanges) + " exchanges, every output at 0");
    device.start();
    const auto exchangeStart = Clock::now();
    while (!interrupted && report.answeredExchanges() < kExchanges && device.comStatus() == FTLIB_ERR_SUCCESS
           && Clock::now() - exchangeStart < kExchangeBudget)
        sleepMs(5);
    const Exchanges counted{report.answeredExchanges(), report.sentExchanges()};
    report.summary("exchanges", std::to_string(counted.answered) + " answered of " + std::to_string(counted.sent)
                       + " sent in "
                       + std::to_string(std::chrono::duration_cast<milliseconds>(Clock::now() - exchangeStart).count())
                       + " ms");
    return counted;
}

// The inputs each controller reached showed in the last answer, as the
// transfer keeps them: I1-I8 as read (0/1 in the digital modes), C1-C4's
// counts.
void reportInputs(Report &report, const ftlib::Device &device)
{
    const unsigned reached = 1u | (device.extensionsReached() << 1);
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        if (!(reached & (1u << ta)))
            continue;
        const std::string name = ta == 0 ? "Master" : "Extension " + std::to_string(ta);
        ftlib::InputState state;
        if (device.inputState(ta, state) == FTLIB_ERR_INVALID_PARAM || !state.answered) {
            report.fact("inputs", name, "no answer reported them");
            continue;
        }
        std::string text = "I1-I8";
        for (const std::int16_t value : state.universal)
            text += " " + std::to_string(value);
        text += ", C1-C4";
        for (const std::int16_t count : state.counter)
            text += " " + std::to_string(static_cast<std::uint16_t>(count));
        report.fact("inputs", name, text);
    }
}

// How the link went: the status the loop left, the tests' and the stop's.
struct LinkOutcome {
    bool lost = false;
    std::uint32_t lostStatus = FTLIB_ERR_SUCCESS;
    bool lostLater = false;
    bool stopAnswered = true;
};

// Why the loop gave a TXT's link up, from the status it left.
std::string txtLoss(std::uint32_t status)
{
    switch (status) {
    case FTLIB_ERR_TIMEOUT_TA:
        return "the TXT fell silent";
    case FTLIB_ERR_OPEN_COM:
        return "the TXT closed or reset the connection";
    case FTLIB_ERR_INIT_COM:
        return "the TXT answered out of step, or what does not decode";
    default:
        return statusName(status, true);
    }
}

Outcome verdict(const Exchanges &exchanges, const LinkOutcome &link, bool txt)
{
    const int answered = exchanges.answered;
    const int sent = exchanges.sent;
    const std::string why = txt ? " (" + txtLoss(link.lostStatus) + ")" : "";
    Outcome outcome;
    if (interrupted) {
        outcome.verdict = "interrupted";
    } else if (link.lost) {
        outcome.verdict = answered > 0 ? "the link was lost after " + std::to_string(answered) + " answered exchanges" + why
            : txt ? "the TXT answered the status query, but no exchange: the link was given up" + why
                  : "the handshake worked, but no exchange was answered: the link was given up";
    } else if (answered >= kExchanges || (answered > 0 && answered + 1 >= sent)) {
        outcome.ok = true;
        // The exchanges asked for; one more may be answered before the
        // probe looks again, and the summary counts them all.
        outcome.verdict = (txt ? "answers as a TXT: status query, online mode and " : "handshake and ")
            + std::to_string(std::min(answered, kExchanges)) + " exchanges answered";
    } else {
        outcome.verdict = "only " + std::to_string(answered) + " of " + std::to_string(sent) + " exchanges answered";
    }
    if (outcome.ok && link.lostLater) {
        outcome.ok = false;
        outcome.verdict += ", but the link was lost during the tests";
    } else if (outcome.ok && !link.stopAnswered) {
        outcome.ok = false;
        outcome.verdict += ", but the stop was not answered";
    }
    return outcome;
}

// Why a TXT could not be opened, as the user can act on it.
std::string txtOpenFailure(const Report &report, std::uint32_t status, const std::string &address, long long openMs)
{
    rendezvous::TxtAddress parsed;
    rendezvous::parseTxtAddress(address, parsed);
    switch (status) {
    case FTLIB_ERR_HOST_UNKNOWN:
        return "name unknown: " + parsed.host + " is not known here; name the TXT by its address (192.168.7.2 on USB)";
    case FTLIB_ERR_CONNECTION_REFUSED:
        return "refused: nothing takes connections at " + address
            + " (not a TXT, or a TXT 4.0 without ftrobopy_server running)";
    case FTLIB_ERR_HOST_UNREACHABLE:
        return "unreachable: no way to " + parsed.host
            + " from here. Is the TXT connected (USB cable, its WLAN, Bluetooth) and this computer on its network?";
    case FTLIB_ERR_INIT_COM_TIMEOUT:
        if (report.sentRequests() == 0)
            return "no answer from " + address + ": the connection was not taken within " + std::to_string(openMs)
                + " ms. Is the TXT switched on and connected, and the address right?";
        return "no answer from " + address + ": it took the connection but did not answer the status query:"
            " not a TXT, or a TXT that does not serve online mode now";
    case FTLIB_ERR_INIT_COM:
        if (report.bytesReceived() > 0)
            return "not a TXT: " + address + " answered the status query otherwise than a TXT does;"
                " see the errors and the conversation";
        return "no answer from " + address + ": the connection ended before the status query was answered;"
            " see the errors";
    default:
        break;
    }
    return "the TXT could not be used: " + statusName(status, true) + "; see the errors";
}

// What the port or address is before it is opened, and the settings the
// open will use, into the report; `canonical` gets the device a port's
// name leads to.
ftlib::LinkSettings prepare(Report &report, const std::string &path, bool txtAddress, std::string &canonical)
{
    ftlib::LinkSettings settings;
    if (txtAddress) {
        report.speaksTxt();
        txtLinkFacts(report, path);
        settings = ftlib::LinkSettings::forTxt(path);
    } else {
        canonical = ftlib::canonicalPortPath(path);
        portFacts(report, path, canonical);
        settings = ftlib::LinkSettings::forPort(path, canonical);
    }
    // A TXT has no echo; its open is bounded as a whole.
    report.fact("system", "settings",
                "reply timeout " + std::to_string(settings.replyTimeout.count()) + " ms, cycle "
                    + std::to_string(settings.cycle.count()) + " ms, "
                    + (txtAddress ? "open within " + std::to_string(settings.openBudget.count())
                                  : "echo window " + std::to_string(settings.echoWindow.count()))
                    + " ms, extensions " + (settings.extensions ? "on" : "off"));
    return settings;
}

// The open device: who it is, the exchanges, the tests asked for, the stop.
Outcome probeOpen(const ProbeOptions &options, Report &report, ftlib::Device &device)
{
    const ftlib::DeviceKind kind = device.kind();
    const bool txt = kind.model == ftlib::Model::Txt;
    const ftlib::Identity &id = device.identity();
    if (txt)
        report.summary("controller", "\"" + id.txtName + "\", firmware " + protocol::txt::versionText(id.txtFirmware)
                           + " (" + hex8(id.txtFirmware) + ")");
    else
        reportIdentity(report, id);
    const Exchanges exchanges = runExchanges(device, report);
    // A TXT tells only in its exchanges' answers whether Extension 1 is there.
    if (kind.extensionsWhileRunning)
        report.summary("extensions", (device.extensionsReached() & 1u) ? "Extension 1 in use" : "none in use");
    reportInputs(report, device);
    const std::string guardian = device.guardianState();
    report.summary("guardian", guardian);
    if (guardian.rfind("watching", 0) != 0)
        say("Warning: no working guardian (" + guardian + "): a motor stays on if this program is killed.");
    LinkOutcome link;
    link.lostStatus = device.comStatus();
    link.lost = link.lostStatus != FTLIB_ERR_SUCCESS;
    if (!link.lost && !interrupted && options.motorTest)
        motorTest(device, report, options.motor - 1);
    if (!link.lost && !interrupted && options.silenceTest && device.comStatus() == FTLIB_ERR_SUCCESS)
        silenceTest(device, report, options.motor - 1);
    link.lostLater = device.comStatus() != FTLIB_ERR_SUCCESS;
    if (!link.lostLater) {
        link.stopAnswered = device.stop() == FTLIB_ERR_SUCCESS;
        report.summary("stop", !link.stopAnswered ? "not answered (see the errors and the conversation)"
                               : txt               ? "zeros and StopOnline answered"
                                                   : "zeros answered");
    }
    device.close();
    report.step("closed");
    report.summary("link", link.lostLater ? "lost (see the errors and the conversation)" : "kept");
    return verdict(exchanges, link, txt);
}

Outcome probe(const ProbeOptions &options, Report &report, const std::string &path)
{
    // Before the open only the name tells what to expect; after it the
    // device says what it is.
    const bool txtAddress = rendezvous::isTxtAddress(path);
    std::string canonical = path;
    prepare(report, path, txtAddress, canonical);
    say("kavrik-txprobe: probing " + path + " ...");
    report.step("opening " + path);
    const auto openStart = Clock::now();
    std::uint32_t status = FTLIB_ERR_UNKNOWN;
    // Guarded as the program is: the motor test drives, and the report says
    // whether the guardian works here.
    std::unique_ptr<ftlib::Device> device = ftlib::Device::open(path, canonical, status, true);
    const auto openMs = std::chrono::duration_cast<milliseconds>(Clock::now() - openStart).count();
    report.summary("open", statusName(status, txtAddress) + " after " + std::to_string(openMs) + " ms");
    if (device)
        return probeOpen(options, report, *device);
    Outcome outcome;
    outcome.verdict = txtAddress ? txtOpenFailure(report, status, path, openMs)
                                 : openFailure(report, status, path, canonical, openMs);
    return outcome;
}

} // namespace

int runProbe(const ProbeOptions &options)
{
    catchInterrupts(onSignal);

    Report report;
    ftlib::setTraceSink(&Report::sink, &report);
    systemFacts(report);
    const std::string output = options.output.empty() ? defaultOutput() : options.output;
    const std::string path = options.port.empty() ? findController() : options.port;
    Outcome outcome;
    if (path.empty()) {
        outcome.verdict = "no ROBO TX found on USB or Bluetooth, no ROBOTICS TXT by the port search; name its port"
                          " or address: kavrik-txprobe /dev/ttyACM0, kavrik-txprobe 192.168.7.2"
            + txtSimulators();
        report.error("no controller found");
        say("kavrik-txprobe: " + outcome.verdict);
    } else {
        outcome = probe(options, report, path);
    }
    ftlib::setTraceSink(nullptr, nullptr);
    report.summary("result", outcome.ok ? "OK" : "FAILED");
    report.summary("verdict", outcome.verdict);
    for (const RoundTrips &r : report.roundTrips()) {
        if (r.command == protocol::kCmdExchange || r.command == protocol::txt::kExchangeDataCmpr
            || r.command == protocol::txt::kExchangeData)
            say("exchanges answered in " + roundTripText(r.ms));
    }
    say(std::string(outcome.ok ? "OK: " : "FAILED: ") + outcome.verdict);

    std::ofstream file(output, std::ios::trunc);
    file << report.text();
    file.flush();
    if (!file) {
        say("kavrik-txprobe: cannot write the report to " + output + ": " + std::strerror(errno));
        return 3;
    }
    say("Report written to " + output + " - attach this file to your problem report.");
    return outcome.ok ? 0 : 1;
}

} // namespace txprobe
