// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ftmsclib/tracefile.h"

namespace ftlib {

namespace {

struct TraceState {
    std::mutex mutex;
    std::atomic<int> level{0};
    std::atomic<bool> sinkSet{false};
    TraceSink sink = nullptr;
    void *context = nullptr;
    int fd = -1;
};

// Never destroyed: the library's own exit handler still traces while it
// closes the devices, after objects built later than it are gone.
TraceState &state()
{
    static TraceState *instance = new TraceState;
    return *instance;
}

const char *eventName(const TraceRecord &r)
{
    switch (r.event) {
    case TraceEvent::Sent:
        return "tx";
    case TraceEvent::Received:
        return "rx";
    case TraceEvent::Frame:
        return "rx frame";
    case TraceEvent::Rejected:
        return "rx rejected";
    case TraceEvent::Console:
        return "console";
    case TraceEvent::Error:
        return "error";
    case TraceEvent::Note:
        break;
    }
    return "";
}

std::string formatLine(const TraceRecord &r)
{
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "ftMscLib [%lld.%06lld] ", r.tUs / 1000000, r.tUs % 1000000);
    std::string line = stamp;
    if (!r.port.empty())
        line += r.port + ": ";
    if (r.event != TraceEvent::Note && r.event != TraceEvent::Error)
        line += std::string(eventName(r)) + " ";
    line += r.text;
    if (r.sysError != 0)
        line += ": " + systemErrorText(r.sysError) + " (errno " + std::to_string(r.sysError) + ")";
    if (!r.bytes.empty())
        line += ": " + hexBytes(r.bytes.data(), r.bytes.size());
    return line + "\n";
}

// Level 0 for a line written whatever the level.
void dispatchAt(const TraceRecord &record, int neededLevel)
{
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.sink)
        s.sink(record, s.context);
    if (s.level.load() >= neededLevel)
        writeTraceLine(s.fd, formatLine(record));
}

void dispatch(const TraceRecord &record, bool frameLevel)
{
    dispatchAt(record, frameLevel ? 2 : 1);
}

void formatted(const std::string &port, TraceEvent event, int sysError, const char *format, va_list args,
               int neededLevel = 1)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    TraceRecord record;
    record.tUs = traceClockUs();
    record.event = event;
    record.port = port;
    record.text = text;
    record.sysError = sysError;
    dispatchAt(record, neededLevel);
}

} // namespace

void loadTraceSettings()
{
    TraceState &s = state();
    const char *value = std::getenv("KAVRIK_FTLIB_TRACE");
    const char *file = std::getenv("KAVRIK_FTLIB_TRACE_FILE");
    int level = 0;
    if (value && *value)
        level = std::strcmp(value, "0") == 0 ? 0 : std::strcmp(value, "2") == 0 ? 2 : 1;
    else if (file && *file)
        level = 1;
    std::lock_guard<std::mutex> lock(s.mutex);
    const std::string path = level > 0 && file ? file : "";
    // Opened again at every open of a port: the file may have been moved or
    // removed meanwhile.
    closeTraceFile(s.fd);
    s.fd = -1;
    if (!path.empty()) {
        int error = 0;
        s.fd = openTraceFile(path, error);
        if (s.fd < 0)
            writeTraceLine(s.fd, "ftMscLib: trace file " + path + ": " + systemErrorText(error) + ", tracing to stderr\n");
    }
    s.level = level;
}

void setTraceSink(TraceSink sink, void *context)
{
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sink = sink;
    s.context = context;
    s.sinkSet = sink != nullptr;
}

bool traceOn()
{
    return state().level.load() > 0 || state().sinkSet.load();
}

bool traceFrames()
{
    return state().level.load() >= 2 || state().sinkSet.load();
}

void trace(const std::string &port, const char *format, ...)
{
    if (!traceOn())
        return;
    va_list args;
    va_start(args, format);
    formatted(port, TraceEvent::Note, 0, format, args);
    va_end(args);
}

void traceAlways(const std::string &port, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    formatted(port, TraceEvent::Note, 0, format, args, 0);
    va_end(args);
}

void traceError(const std::string &port, int sysError, const char *format, ...)
{
    if (!traceOn())
        return;
    va_list args;
    va_start(args, format);
    formatted(port, TraceEvent::Error, sysError, format, args);
    va_end(args);
}

void traceRecord(TraceRecord record)
{
    if (!traceOn())
        return;
    if (record.tUs == 0)
        record.tUs = traceClockUs();
    const bool frameLevel = record.event == TraceEvent::Sent || record.event == TraceEvent::Received
        || record.event == TraceEvent::Frame || record.event == TraceEvent::Rejected;
    // A frame's verdict other than an answer explains a timeout: worth a
    // line at level 1 as well.
    dispatch(record, frameLevel && !(record.event == TraceEvent::Frame && record.verdict == FrameVerdict::WrongCommand));
}

std::string hexBytes(const std::uint8_t *data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 3);
    for (std::size_t i = 0; i < size; ++i) {
        if (i)
            out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::string holderList(const std::vector<rendezvous::PortHolder> &holders, bool thisProcess)
{
    std::string list;
    for (const rendezvous::PortHolder &holder : holders) {
        if (holder.thisProcess && !thisProcess)
            continue;
        list += std::string(list.empty() ? "" : ", ") + "pid " + std::to_string(holder.pid) + " ("
            + (holder.thisProcess ? std::string("this process") : holder.program) + ")";
    }
    return list;
}

void traceSentFrame(const std::string &port, const protocol::Frame &frame, const std::vector<std::uint8_t> &bytes)
{
    if (!traceFrames())
        return;
    TraceRecord record;
    record.event = TraceEvent::Sent;
    record.port = port;
    record.command = frame.command;
    record.tid = frame.tid;
    char text[96];
    std::snprintf(text, sizeof text, "cmd %u tid %u sid %u", frame.command, frame.tid, frame.sid);
    record.text = text;
    record.bytes = bytes;
    traceRecord(std::move(record));
}

void traceSentText(const std::string &port, const char *what, const std::vector<std::uint8_t> &bytes)
{
    if (!traceFrames())
        return;
    TraceRecord record;
    record.event = TraceEvent::Sent;
    record.port = port;
    record.text = what;
    record.bytes = bytes;
    traceRecord(std::move(record));
}

void traceReceived(const std::string &port, const std::uint8_t *data, std::size_t size)
{
    if (!traceFrames())
        return;
    TraceRecord record;
    record.event = TraceEvent::Received;
    record.port = port;
    record.text = std::to_string(size) + " bytes";
    record.bytes.assign(data, data + size);
    traceRecord(std::move(record));
}

void traceReply(const std::string &port, const protocol::Frame &frame, protocol::ReplyMatch match,
                const protocol::Session &session)
{
    if (match != protocol::ReplyMatch::WrongCommand && !traceFrames())
        return;
    TraceRecord record;
    record.event = TraceEvent::Frame;
    record.port = port;
    record.command = frame.command;
    record.tid = frame.tid;
    char text[160];
    switch (match) {
    case protocol::ReplyMatch::Answer:
        record.verdict = FrameVerdict::Answer;
        std::snprintf(text, sizeof text, "cmd %u tid %u sid %u: answer", frame.command, frame.tid, frame.sid);
        break;
    case protocol::ReplyMatch::Stale:
        record.verdict = FrameVerdict::Stale;
        std::snprintf(text, sizeof text, "cmd %u tid %u sid %u: stale, not the outstanding tid %u", frame.command,
                      frame.tid, frame.sid, session.outstanding() ? session.tid() : 0);
        break;
    case protocol::ReplyMatch::WrongCommand:
        record.verdict = FrameVerdict::WrongCommand;
        std::snprintf(text, sizeof text, "cmd %u tid %u sid %u: wrong command, request %u expects %u", frame.command,
                      frame.tid, frame.sid, session.command(), session.command() + protocol::kReplyOffset);
        break;
    }
    record.text = text;
    record.bytes = protocol::encodeFrame(frame);
    traceRecord(std::move(record));
}

void traceConsoleAnswer(const std::string &port, const std::vector<std::uint8_t> &bytes)
{
    if (!traceFrames() || bytes.empty())
        return;
    TraceRecord record;
    record.event = TraceEvent::Console;
    record.port = port;
    record.text = std::to_string(bytes.size()) + " bytes";
    record.bytes = bytes;
    traceRecord(std::move(record));
}

void traceRejected(const std::string &port, protocol::DecodeError error, const std::uint8_t *data, std::size_t size)
{
    TraceRecord record;
    record.event = TraceEvent::Rejected;
    record.port = port;
    record.text = protocol::decodeErrorText(error);
    record.bytes.assign(data, data + size);
    traceRecord(std::move(record));
}

} // namespace ftlib
