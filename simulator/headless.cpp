#include "headless.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <sstream>

#include <unistd.h>

namespace txsim {

namespace {

long long nowUs()
{
    // steady_clock is CLOCK_MONOTONIC, so other processes can compare times.
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void emit(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

const char *violationName(Violation v)
{
    switch (v) {
    case Violation::NegativeDuty:
        return "negative_duty";
    case Violation::DutyTooHigh:
        return "duty_too_high";
    case Violation::BothDirections:
        return "both_directions";
    case Violation::Malformed:
        return "malformed";
    case Violation::None:
        break;
    }
    return "none";
}

std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            continue;
        out += c;
    }
    return out + "\"";
}

template <typename Array>
std::string jsonArray(const Array &values)
{
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i)
        out += (i ? "," : "") + std::to_string(values[i]);
    return out + "]";
}

std::string eventLine(const Event &e)
{
    const std::string head = "{\"t_us\":" + std::to_string(nowUs()) + ",\"event\":";
    switch (e.kind) {
    case EventKind::Output:
        return head + "\"output\",\"ta\":" + std::to_string(e.ta) + ",\"out\":" + std::to_string(e.index)
            + ",\"duty\":" + std::to_string(e.value) + "}";
    case EventKind::Config:
        return head + "\"config\",\"ta\":" + std::to_string(e.ta) + ",\"motors\":" + jsonArray(e.motors) + "}";
    case EventKind::Session:
        return head + "\"session\",\"sid\":" + std::to_string(e.value) + "}";
    case EventKind::Violation:
        return head + "\"violation\",\"kind\":\"" + violationName(e.violation) + "\",\"ta\":" + std::to_string(e.ta)
            + ",\"index\":" + std::to_string(e.index) + "}";
    case EventKind::Watchdog:
        return head + "\"watchdog\",\"idle_ms\":" + std::to_string(e.value) + ",\"count\":" + std::to_string(e.count) + "}";
    case EventKind::Frame:
        return head + "\"frame\",\"cmd\":" + std::to_string(e.value) + ",\"tid\":" + std::to_string(e.tid) + "}";
    case EventKind::Probe:
        return head + "\"probe\"}";
    }
    return head + "\"unknown\"}";
}

std::string statusLine(const DeviceEngine &engine)
{
    const Snapshot s = engine.snapshot();
    std::string line = "{\"t_us\":" + std::to_string(nowUs()) + ",\"event\":\"status\",\"sid\":" + std::to_string(s.sid)
        + ",\"frames\":" + std::to_string(s.frames) + ",\"violations\":" + std::to_string(s.violations)
        + ",\"watchdog_firings\":" + std::to_string(s.watchdogFirings) + ",\"ta\":[";
    for (std::size_t t = 0; t < s.ta.size(); ++t) {
        const TaView &ta = s.ta[t];
        line += std::string(t ? "," : "") + "{\"ta\":" + std::to_string(t) + ",\"online\":" + (ta.online ? "true" : "false")
            + ",\"configured\":" + (ta.configured ? "true" : "false") + ",\"duty\":" + jsonArray(ta.duty)
            + ",\"motors\":" + jsonArray(ta.motorMode) + "}";
    }
    return line + "]}";
}

// Returns false for "quit".
bool command(const std::string &line, DeviceEngine &engine, PtyServer &server)
{
    std::istringstream in(line);
    std::string word;
    if (!(in >> word))
        return true;
    int number = 0;
    const bool hasNumber = static_cast<bool>(in >> number);
    bool ok = true;
    if (word == "quit") {
        emit("{\"event\":\"ack\",\"command\":\"quit\"}");
        return false;
    } else if (word == "drop") {
        server.dropReplies(hasNumber ? number : 1);
    } else if (word == "corrupt") {
        server.corruptReplies(hasNumber ? number : 1);
    } else if (word == "split") {
        server.splitNextReply(std::chrono::milliseconds(hasNumber ? number : 1));
    } else if (word == "stray") {
        server.strayTextBeforeNextReply();
    } else if (word == "mute") {
        server.setMute(true);
    } else if (word == "unmute") {
        server.setMute(false);
    } else if (word == "hangup") {
        server.hangUp();
    } else if (word == "status") {
        emit(statusLine(engine));
    } else if (word == "ext") {
        std::istringstream rest(line);
        std::string ignored, state;
        int k = 0;
        rest >> ignored >> k >> state;
        ok = k >= 1 && k <= protocol::kMaxExtensions && (state == "on" || state == "off");
        if (ok)
            engine.setExtensionOnline(k, state == "on");
    } else {
        ok = false;
    }
    if (ok)
        emit("{\"event\":\"ack\",\"command\":" + jsonString(word) + "}");
    else
        emit("{\"event\":\"error\",\"command\":" + jsonString(line) + "}");
    return true;
}

} // namespace

int runHeadless(DeviceEngine &engine, PtyServer &server, const HeadlessOptions &options)
{
    engine.setListener([&options](const Event &e) {
        if (e.kind != EventKind::Frame || options.logFrames)
            emit(eventLine(e));
    });
    server.onHangUp = [] { emit("{\"t_us\":" + std::to_string(nowUs()) + ",\"event\":\"hangup\"}"); };
    emit("{\"event\":\"ready\",\"port\":" + jsonString(server.slavePath()) + ",\"pid\":" + std::to_string(::getpid())
         + ",\"announcement\":" + jsonString(options.announcement) + "}");

    std::string pending;
    server.run(STDIN_FILENO, [&]() {
        char buffer[512];
        ssize_t n;
        do {
            n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false; // the controlling test went away
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!command(line, engine, server))
                return false;
        }
        return true;
    });
    return 0;
}

} // namespace txsim
