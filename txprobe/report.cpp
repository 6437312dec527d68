// SPDX-License-Identifier: GPL-3.0-or-later
#include "txprobe/report.h"

#include <algorithm>
#include <iterator>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "protocol/codec.h"
#include "protocol/txt.h"

namespace txprobe {

namespace {

// Tabs and line ends would break the conversation's columns.
std::string oneLine(std::string text)
{
    for (char &c : text) {
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    }
    return text;
}

std::string printable(const std::vector<std::uint8_t> &bytes)
{
    std::string out;
    for (std::uint8_t b : bytes) {
        if (b == '\r')
            out += "\\r";
        else if (b == '\n')
            out += "\\n";
        else if (b == '\\')
            out += "\\\\";
        else if (b >= 0x20 && b < 0x7F)
            out += static_cast<char>(b);
        else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        }
    }
    return out;
}

const char *verdictText(ftlib::FrameVerdict verdict)
{
    switch (verdict) {
    case ftlib::FrameVerdict::Answer:
        return "answer";
    case ftlib::FrameVerdict::Stale:
        return "stale";
    case ftlib::FrameVerdict::WrongCommand:
        return "wrong command";
    }
    return "?";
}

std::string idText(std::uint32_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", id);
    return text;
}

bool txtExchange(std::uint32_t command)
{
    return command == protocol::txt::kExchangeDataCmpr || command == protocol::txt::kExchangeData;
}

double quantile(std::vector<double> sorted, double q)
{
    const auto i = static_cast<std::size_t>(std::lround(q * static_cast<double>(sorted.size() - 1)));
    return sorted[i];
}

} // namespace

Report::Report()
    : startUs_(ftlib::traceClockUs())
{
}

void Report::sink(const ftlib::TraceRecord &record, void *context)
{
    static_cast<Report *>(context)->add(record);
}

void Report::add(const ftlib::TraceRecord &record)
{
    Line line;
    line.tUs = record.tUs;
    line.command = "-";
    line.tid = "-";
    line.what = record.text;
    line.bytes = ftlib::hexBytes(record.bytes.data(), record.bytes.size());
    std::lock_guard<std::mutex> lock(mutex_);
    switch (record.event) {
    case ftlib::TraceEvent::Note:
        line.event = "note";
        break;
    case ftlib::TraceEvent::Error:
        line.event = "error";
        if (record.sysError)
            line.what += std::string(": ") + std::strerror(record.sysError) + " (errno " + std::to_string(record.sysError) + ")";
        errors_.push_back(line.what);
        break;
    case ftlib::TraceEvent::Sent:
        line.event = "tx";
        if (txt_)
            noteTxtSent(record, line);
        else
            noteSent(record, line);
        break;
    case ftlib::TraceEvent::Received:
        line.event = "rx";
        bytesReceived_ += record.bytes.size();
        if (txt_)
            noteTxtPacket(record, line);
        break;
    case ftlib::TraceEvent::Frame:
        line.event = "frame";
        noteFrame(record, line);
        break;
    case ftlib::TraceEvent::Rejected:
        line.event = "rejected";
        break;
    case ftlib::TraceEvent::Console:
        line.event = "console";
        console_ = record.bytes;
        bytesReceived_ += record.bytes.size();
        break;
    }
    keep(std::move(line));
}

void Report::noteSent(const ftlib::TraceRecord &record, Line &line)
{
    // The console probe is no frame: no command, no TID.
    if (record.command == 0)
        return;
    line.command = std::to_string(record.command);
    line.tid = std::to_string(record.tid);
    openCommand_ = record.command;
    openTid_ = record.tid;
    openUs_ = record.tUs;
    ++sentRequests_;
    if (record.command == protocol::kCmdExchange)
        ++sentExchanges_;
}

void Report::noteTxtSent(const ftlib::TraceRecord &record, Line &line)
{
    if (record.bytes.size() < protocol::txt::kIdSize)
        return;
    openCommand_ = protocol::txt::packetId(record.bytes.data());
    openName_ = record.text;
    openUs_ = record.tUs;
    line.command = idText(openCommand_);
    ++sentRequests_;
    if (txtExchange(openCommand_))
        ++sentExchanges_;
}

void Report::noteTxtPacket(const ftlib::TraceRecord &record, Line &line)
{
    // The library traces a packet once it is whole, or what it refused.
    if (record.bytes.size() < protocol::txt::kIdSize)
        return;
    const std::uint32_t id = protocol::txt::packetId(record.bytes.data());
    line.command = idText(id);
    if (openUs_ >= 0 && id == protocol::txt::replyIdFor(openCommand_)) {
        line.what += ": answers " + openName_;
        answered(record.tUs);
        return;
    }
    const std::string awaited = openUs_ >= 0 ? "the answer to " + openName_ + " awaited" : "no request outstanding";
    line.what += ": not an answer (" + awaited + ")";
    errors_.push_back("packet " + idText(id) + " where " + awaited);
}

void Report::noteFrame(const ftlib::TraceRecord &record, Line &line)
{
    line.command = std::to_string(record.command);
    line.tid = std::to_string(record.tid);
    line.what = verdictText(record.verdict);
    if (record.verdict == ftlib::FrameVerdict::WrongCommand)
        errors_.push_back("reply with the request's TID but another command: " + record.text);
    if (record.verdict != ftlib::FrameVerdict::Answer || openUs_ < 0 || record.tid != openTid_)
        return;
    answered(record.tUs);
}

void Report::answered(long long tUs)
{
    auto it = std::find_if(roundTrips_.begin(), roundTrips_.end(),
                           [&](const RoundTrips &r) { return r.command == openCommand_; });
    if (it == roundTrips_.end())
        it = roundTrips_.insert(roundTrips_.end(), RoundTrips{openCommand_, txt_ ? openName_ : std::string(), {}});
    it->ms.push_back(static_cast<double>(tUs - openUs_) / 1000.0);
    if (openCommand_ == protocol::kCmdExchange || (txt_ && txtExchange(openCommand_)))
        ++answeredExchanges_;
    openUs_ = -1;
}

void Report::addLine(Line line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    keep(std::move(line));
}

void Report::keep(Line line)
{
    // Stamped on the thread that made it (the transfer's or the probe's)
    // before it got here: kept in the order of the times.
    auto at = conversation_.end();
    while (at != conversation_.begin() && std::prev(at)->tUs > line.tUs)
        --at;
    conversation_.insert(at, std::move(line));
}

void Report::summary(const std::string &key, const std::string &value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    summary_.emplace_back(key, value);
}

void Report::step(const std::string &text)
{
    addLine(Line{ftlib::traceClockUs(), "probe", "-", "-", oneLine(text), ""});
}

void Report::error(const std::string &text, int sysError)
{
    std::string what = text;
    if (sysError)
        what += std::string(": ") + std::strerror(sysError) + " (errno " + std::to_string(sysError) + ")";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        errors_.push_back(what);
    }
    addLine(Line{ftlib::traceClockUs(), "error", "-", "-", oneLine(what), ""});
}

void Report::fact(const std::string &section, const std::string &key, const std::string &value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(facts_.begin(), facts_.end(), [&](const auto &s) { return s.first == section; });
    if (it == facts_.end())
        it = facts_.insert(facts_.end(), {section, {}});
    it->second.emplace_back(key, value);
}

std::vector<RoundTrips> Report::roundTrips() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<RoundTrips> all = roundTrips_;
    std::sort(all.begin(), all.end(), [](const RoundTrips &a, const RoundTrips &b) { return a.command < b.command; });
    return all;
}

std::string roundTripText(const std::vector<double> &ms)
{
    if (ms.empty())
        return "none answered";
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    char text[160];
    std::snprintf(text, sizeof text, "min %.3f  median %.3f  p99 %.3f  max %.3f ms (n = %zu)", sorted.front(),
                  quantile(sorted, 0.5), quantile(sorted, 0.99), sorted.back(), sorted.size());
    return text;
}

std::string Report::text() const
{
    const std::vector<RoundTrips> trips = roundTrips();
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out = std::string("kavrik-txprobe report\n"
                                  "# Attach this file to the problem report. Besides the controller's conversation it\n"
                                  "# holds the operating system and kernel versions and ")
        + (txt_ ? "the network facts of the link.\n" : "the USB facts of the port.\n");
    out += "\n== summary\n";
    // The outcome first, whenever it was added.
    for (const char *first : {"result", "verdict"}) {
        for (const auto &[key, value] : summary_) {
            if (key == first)
                out += key + ": " + value + "\n";
        }
    }
    for (const auto &[key, value] : summary_) {
        if (key != "result" && key != "verdict")
            out += key + ": " + value + "\n";
    }
    for (const auto &[section, entries] : facts_) {
        out += "\n== " + section + "\n";
        for (const auto &[key, value] : entries)
            out += key + ": " + value + "\n";
    }
    // A TXT has no console.
    if (!txt_) {
        out += "\n== console\n";
        if (console_.empty()) {
            out += "no answer to the serial-number probe\n";
        } else {
            out += "bytes: " + ftlib::hexBytes(console_.data(), console_.size()) + "\n";
            out += "text: " + printable(console_) + "\n";
        }
    }
    out += "\n== round trips\n";
    if (trips.empty())
        out += "none\n";
    for (const RoundTrips &r : trips) {
        out += (txt_ ? idText(r.command) + " " + r.name : "cmd " + std::to_string(r.command)) + ": " + roundTripText(r.ms)
            + "\n";
    }
    out += "\n== errors\n";
    if (errors_.empty())
        out += "none\n";
    for (const std::string &e : errors_)
        out += e + "\n";
    return out + conversationText();
}

std::string Report::conversationText() const
{
    std::string out = "\n== conversation\n"
           "# time_us (from the start of the probe), event, command, TID, what, bytes; tab-separated.\n";
    if (txt_) {
        out += "# The command is the packet's id; a TXT has no TIDs. tx: a request sent; rx: a packet\n"
               "# received whole (or the bytes refused), and whether it answers the request outstanding.\n";
    } else {
        out += "# tx: a request sent; rx: bytes as read; frame: a frame taken from them and its verdict;\n"
               "# rejected: bytes the decoder dropped, and why; console: the answer to the serial-number probe.\n";
    }
    for (const Line &line : conversation_) {
        out += std::to_string(std::max(0LL, line.tUs - startUs_)) + "\t" + line.event + "\t" + line.command + "\t"
            + line.tid + "\t" + oneLine(line.what) + "\t" + line.bytes + "\n";
    }
    return out;
}

} // namespace txprobe
