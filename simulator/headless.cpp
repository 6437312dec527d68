// SPDX-License-Identifier: GPL-3.0-or-later
#include "simulator/headless.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>

#include <unistd.h>

#include "rendezvous/simregistry.h"
#include "simulator/eventoutput.h"
#include "simulator/tcpserver.h"
#include "simulator/txtengine.h"

namespace txsim {

namespace {

EventOutput &eventOutput()
{
    static EventOutput output;
    return output;
}

void emit(const std::string &line)
{
    eventOutput().post(line);
}

// The answer to a command: an acknowledgement or an error.
void answer(const std::string &line)
{
    eventOutput().post(line, true);
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
    case Violation::Pipelined:
        return "pipelined";
    case Violation::ConfigIdUnchanged:
        return "config_id_unchanged";
    case Violation::NotOnline:
        return "not_online";
    case Violation::Unconfigured:
        return "unconfigured";
    case Violation::AfterStop:
        return "after_stop";
    case Violation::CrcMismatch:
        return "crc_mismatch";
    case Violation::UnknownId:
        return "unknown_id";
    case Violation::Oversized:
        return "oversized";
    case Violation::None:
        break;
    }
    return "none";
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
    const std::string head = "{\"t_us\":" + std::to_string(eventTimeUs()) + ",\"event\":";
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
            + ",\"index\":" + std::to_string(e.index) + (e.closes ? ",\"closed\":true}" : "}");
    case EventKind::Watchdog:
        return head + "\"watchdog\",\"idle_ms\":" + std::to_string(e.value) + ",\"count\":" + std::to_string(e.count) + "}";
    case EventKind::Frame:
        return head + "\"frame\",\"cmd\":" + std::to_string(e.command) + ",\"tid\":" + std::to_string(e.tid)
            + ",\"sid\":" + std::to_string(e.sid) + "}";
    case EventKind::Probe:
        return head + "\"probe\"}";
    case EventKind::Input:
        return head + "\"input\",\"ta\":" + std::to_string(e.ta) + ",\"input\":" + std::to_string(e.index + 1)
            + ",\"closed\":" + (e.value ? "true}" : "false}");
    case EventKind::Counter:
        return head + "\"counter\",\"ta\":" + std::to_string(e.ta) + ",\"counter\":" + std::to_string(e.index + 1)
            + ",\"value\":" + std::to_string(e.value) + "}";
    }
    return head + "\"unknown\"}";
}

// The first `controllers` of the snapshot.
std::string statusLine(const Snapshot &s, std::size_t controllers)
{
    std::string line = "{\"t_us\":" + std::to_string(eventTimeUs()) + ",\"event\":\"status\",\"sid\":" + std::to_string(s.sid)
        + ",\"frames\":" + std::to_string(s.frames) + ",\"violations\":" + std::to_string(s.violations)
        + ",\"watchdog_firings\":" + std::to_string(s.watchdogFirings) + ",\"ta\":[";
    for (std::size_t t = 0; t < std::min(controllers, s.ta.size()); ++t) {
        const TaView &ta = s.ta[t];
        line += std::string(t ? "," : "") + "{\"ta\":" + std::to_string(t) + ",\"online\":" + (ta.online ? "true" : "false")
            + ",\"configured\":" + (ta.configured ? "true" : "false") + ",\"duty\":" + jsonArray(ta.duty)
            + ",\"motors\":" + jsonArray(ta.motorMode) + ",\"closed_inputs\":" + std::to_string(ta.closedInputs) + "}";
    }
    return line + "]}";
}

// A command's words after the first.
using Arguments = std::vector<std::string>;

// Splits a command line and answers it: an acknowledgement, or an error
// when `apply` refuses it. Returns false for "quit".
template <typename Apply>
bool command(const std::string &line, Apply apply)
{
    std::istringstream in(line);
    std::string word;
    if (!(in >> word))
        return true;
    Arguments arguments;
    for (std::string argument; in >> argument;)
        arguments.push_back(argument);
    if (word == "quit") {
        answer("{\"event\":\"ack\",\"command\":\"quit\"}");
        return false;
    }
    if (apply(word, arguments))
        answer("{\"event\":\"ack\",\"command\":" + jsonString(word) + "}");
    else
        answer("{\"event\":\"error\",\"command\":" + jsonString(line) + "}");
    return true;
}

// An extension switched on or off: "ext K on|off", K from 1 to `most`.
bool extensionSwitch(const std::string &argument, const std::string &extra, int most, int &extension)
{
    long long k = 0;
    // An extension number is an index, not an amount: out of range is wrong.
    if (!saturatedNumber(argument, 0, most + 1, k) || k < 1 || k > most || (extra != "on" && extra != "off"))
        return false;
    extension = static_cast<int>(k);
    return true;
}

// "input K N closed|open" and "counter K N VALUE": controller K from 0 to
// `most`, input 1-8 or counter 1-4; indices out of range are wrong, a count
// saturates.
template <typename Engine>
bool inputCommand(const std::string &word, const Arguments &arguments, int most, Engine &engine)
{
    if ((word != "input" && word != "counter") || arguments.size() != 3)
        return false;
    long long ta = 0, index = 0, value = 0;
    if (!saturatedNumber(arguments[0], -1, most + 1, ta) || ta < 0 || ta > most
        || !saturatedNumber(arguments[1], 0, protocol::kInputs + 1, index) || index < 1)
        return false;
    if (word == "counter") {
        return index <= protocol::kCounters && saturatedNumber(arguments[2], 0, 65535, value)
            && engine.setCounter(static_cast<int>(ta), static_cast<int>(index - 1), static_cast<std::uint16_t>(value));
    }
    if (index > protocol::kInputs || (arguments[2] != "closed" && arguments[2] != "open"))
        return false;
    return engine.setInput(static_cast<int>(ta), static_cast<int>(index - 1), arguments[2] == "closed");
}

bool ptyCommand(const std::string &word, const Arguments &arguments, DeviceEngine &engine, PtyServer &server)
{
    const std::string argument = arguments.size() > 0 ? arguments[0] : std::string();
    const std::string extra = arguments.size() > 1 ? arguments[1] : std::string();
    long long number = 0;
    // Counts and pauses saturate: "drop 99999999999" drops a great many, a
    // negative count none, and nothing wraps around.
    const auto count = [&](long long low, long long high, long long otherwise) {
        if (argument.empty()) {
            number = otherwise;
            return true;
        }
        return saturatedNumber(argument, low, high, number);
    };
    int extension = 0;
    if (word == "drop" && count(0, 1000000, 1))
        server.dropReplies(static_cast<int>(number));
    else if (word == "corrupt" && count(0, 1000000, 1))
        server.corruptReplies(static_cast<int>(number));
    else if (word == "split" && count(1, 10000, 1))
        server.splitNextReply(std::chrono::milliseconds(number));
    else if (word == "stall" && count(1, 60000, 300))
        server.stallHost(std::chrono::milliseconds(number));
    else if (word == "stray")
        server.strayTextBeforeNextReply();
    else if (word == "mute" || word == "unmute")
        server.setMute(word == "mute");
    else if (word == "hangup")
        server.hangUp();
    else if (word == "status")
        emit(statusLine(engine.snapshot(), protocol::kTaCount));
    else if (word == "ext" && extensionSwitch(argument, extra, protocol::kMaxExtensions, extension))
        engine.setExtensionOnline(extension, extra == "on");
    else
        return inputCommand(word, arguments, protocol::kMaxExtensions, engine);
    return true;
}

bool txtCommand(const std::string &word, const Arguments &arguments, TxtEngine &engine, TcpServer &server)
{
    const std::string argument = arguments.size() > 0 ? arguments[0] : std::string();
    const std::string extra = arguments.size() > 1 ? arguments[1] : std::string();
    long long number = 0;
    int extension = 0;
    if (word == "mute" || word == "unmute")
        server.setMute(word == "mute");
    else if (word == "latency" && saturatedNumber(argument, 0, 60000, number))
        engine.setLatency(std::chrono::milliseconds(number));
    else if (word == "split" && saturatedNumber(argument, 0, 10000, number))
        server.setSplit(std::chrono::milliseconds(number));
    else if (word == "close" || word == "hangup")
        server.closeConnection();
    else if (word == "reset")
        server.resetConnection();
    else if (word == "status")
        emit(statusLine(engine.snapshot(), 1 + protocol::txt::kMaxExtensions));
    else if (word == "ext" && extensionSwitch(argument, extra, protocol::txt::kMaxExtensions, extension))
        engine.setExtensionPresent(extra == "on");
    else
        return inputCommand(word, arguments, protocol::txt::kMaxExtensions, engine);
    return true;
}

// Reads commands from stdin while `server` serves; `onLine` returns false
// for "quit".
template <typename Server>
void serve(Server &server, const std::function<bool(const std::string &)> &onLine)
{
    LineReader reader;
    std::vector<std::string> lines;
    server.run(STDIN_FILENO, [&]() {
        char buffer[4096];
        ssize_t n;
        do {
            n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false; // the controlling test went away
        lines.clear();
        reader.feed(buffer, static_cast<std::size_t>(n), lines);
        for (const std::string &line : lines) {
            if (!onLine(line))
                return false;
        }
        return true;
    });
}

template <typename Engine>
void listen(Engine &engine, const HeadlessOptions &options)
{
    engine.setListener([&options](const Event &e) {
        if (e.kind != EventKind::Frame || options.logFrames)
            emit(eventLine(e));
    });
}

} // namespace

int runHeadless(DeviceEngine &engine, PtyServer &server, const HeadlessOptions &options)
{
    eventOutput().start();
    listen(engine, options);
    server.onHangUp = [&options] {
        // Its pty number is free now and may go to somebody's terminal.
        rendezvous::withdrawSimulator(options.announcement);
        emit("{\"t_us\":" + std::to_string(eventTimeUs()) + ",\"event\":\"hangup\"}");
    };
    emit("{\"event\":\"ready\",\"port\":" + jsonString(server.slavePath()) + ",\"pid\":" + std::to_string(::getpid())
         + ",\"announcement\":" + jsonString(options.announcement) + "}");
    serve(server, [&](const std::string &line) {
        return command(line, [&](const std::string &word, const Arguments &arguments) {
            return ptyCommand(word, arguments, engine, server);
        });
    });
    engine.setListener(nullptr);
    server.onHangUp = nullptr;
    eventOutput().finish();
    return 0;
}

int runHeadless(TxtEngine &engine, TcpServer &server, const HeadlessOptions &options)
{
    eventOutput().start();
    listen(engine, options);
    server.onConnection = [](const std::string &state, const std::string &reason) {
        emit("{\"t_us\":" + std::to_string(eventTimeUs()) + ",\"event\":\"connection\",\"state\":" + jsonString(state)
             + ",\"reason\":" + jsonString(reason) + "}");
    };
    const std::string address = server.address();
    emit("{\"event\":\"ready\",\"port\":" + jsonString(address) + ",\"tcp_port\":"
         + address.substr(address.rfind(':') + 1) + ",\"pid\":" + std::to_string(::getpid())
         + ",\"announcement\":" + jsonString(options.announcement) + "}");
    serve(server, [&](const std::string &line) {
        return command(line, [&](const std::string &word, const Arguments &arguments) {
            return txtCommand(word, arguments, engine, server);
        });
    });
    engine.setListener(nullptr);
    server.onConnection = nullptr;
    eventOutput().finish();
    return 0;
}

void LineReader::feed(const char *data, std::size_t size, std::vector<std::string> &lines)
{
    const char *end = data + size;
    while (data < end) {
        const char *newline = static_cast<const char *>(std::memchr(data, '\n', static_cast<std::size_t>(end - data)));
        const char *stop = newline ? newline : end;
        const std::size_t room = kMaxLine - line_.size();
        line_.append(data, std::min(room, static_cast<std::size_t>(stop - data)));
        if (!newline)
            return;
        lines.push_back(std::move(line_));
        line_.clear();
        data = newline + 1;
    }
}

std::string jsonString(const std::string &text)
{
    static const char digits[] = "0123456789abcdef";
    const auto escaped = [](unsigned char c) {
        return std::string("\\u00") + digits[c >> 4] + digits[c & 0x0F];
    };
    std::string out = "\"";
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F) {
            out += escaped(c);
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        // The length of a well-formed UTF-8 sequence starting here, 0 if none
        // (no overlong forms, no surrogates, nothing above U+10FFFF).
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        }
        bool valid = length > 0 && i + length <= n;
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            valid = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
        }
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += escaped(c);
            ++i;
        }
    }
    return out + "\"";
}

bool saturatedNumber(const std::string &text, long long low, long long high, long long &value)
{
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        i = 1;
    if (i == text.size() || text.find_first_not_of("0123456789", i) != std::string::npos)
        return false;
    // Digit by digit, stopping once past any bound: no number of digits can
    // overflow.
    long long magnitude = 0;
    for (; i < text.size(); ++i) {
        if (magnitude > (std::numeric_limits<long long>::max() - 9) / 10) {
            magnitude = std::numeric_limits<long long>::max();
            break;
        }
        magnitude = magnitude * 10 + (text[i] - '0');
    }
    const long long signedValue = negative ? -magnitude : magnitude;
    value = std::clamp(signedValue, low, high);
    return true;
}

} // namespace txsim
