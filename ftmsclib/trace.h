// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/codec.h"
#include "protocol/session.h"
#include "rendezvous/portfailure.h"

// Optional diagnostics of the controller library. Nothing is written unless
// KAVRIK_FTLIB_TRACE asks for it:
//   1  events: open steps, timeouts, link loss, failed calls with their errno
//   2  also every frame sent and every byte read, as hex with timestamps,
//      and each received frame with the decoder's verdict or the reason it
//      was rejected
// KAVRIK_FTLIB_TRACE_FILE=path appends to that file instead of stderr (level
// 1 unless KAVRIK_FTLIB_TRACE says otherwise). Every line starts with the
// CLOCK_MONOTONIC time in seconds, the clock of the simulator's "t_us".
namespace ftlib {

enum class TraceEvent {
    Note,     // something the library did or decided
    Error,    // a failed system call or an unusable answer; sysError holds errno
    Sent,     // a frame written: bytes, command, tid
    Received, // bytes as read from the port
    Frame,    // a well-formed frame taken from the received bytes: verdict
    Rejected, // bytes the decoder dropped: text holds the reason
    Console,  // the console's answer to the serial-number probe
};

// What a received frame meant to the request that was outstanding.
enum class FrameVerdict { Answer, Stale, WrongCommand };

struct TraceRecord {
    long long tUs = 0;
    TraceEvent event = TraceEvent::Note;
    std::string port;
    std::string text;
    int sysError = 0;
    std::vector<std::uint8_t> bytes;
    std::uint32_t command = 0;
    std::uint16_t tid = 0;
    FrameVerdict verdict = FrameVerdict::Answer;
};

// Receives every record at full detail, whatever the variables say; used by
// kavrik-txprobe, in-process. Called on the thread that traces.
using TraceSink = void (*)(const TraceRecord &record, void *context);

// Reads the two variables again; called on each open, on the opening thread.
void loadTraceSettings();
// Installs (or with nullptr removes) the sink. Set it before opening a port.
void setTraceSink(TraceSink sink, void *context);

// Whether anything is traced at all, and whether frame-level records are:
// callers check before building a record.
bool traceOn();
bool traceFrames();

// CLOCK_MONOTONIC in microseconds.
long long traceClockUs();

void trace(const std::string &port, const char *format, ...) __attribute__((format(printf, 2, 3)));
// A line written whatever the level, where the trace goes (stderr unless a
// file is named): for what a user must learn even with the trace off.
void traceAlways(const std::string &port, const char *format, ...) __attribute__((format(printf, 2, 3)));
void traceError(const std::string &port, int sysError, const char *format, ...) __attribute__((format(printf, 3, 4)));
// Stamps the record with the time (unless set) and hands it on.
void traceRecord(TraceRecord record);

// The records of a device's conversation; each does nothing when frames are
// not traced (a wrong command under the right TID is traced at every level:
// the device speaks otherwise than assumed).
void traceSentFrame(const std::string &port, const protocol::Frame &frame, const std::vector<std::uint8_t> &bytes);
void traceSentText(const std::string &port, const char *what, const std::vector<std::uint8_t> &bytes);
void traceReceived(const std::string &port, const std::uint8_t *data, std::size_t size);
void traceReply(const std::string &port, const protocol::Frame &frame, protocol::ReplyMatch match,
                const protocol::Session &session);
void traceConsoleAnswer(const std::string &port, const std::vector<std::uint8_t> &bytes);
void traceRejected(const std::string &port, protocol::DecodeError error, const std::uint8_t *data, std::size_t size);

// "02 55 00 1c ..." for trace lines and reports.
std::string hexBytes(const std::uint8_t *data, std::size_t size);

// A port's holders for trace lines and reports: "pid 1234 (ModemManager),
// pid 99 (this process)"; this process only with `thisProcess`. Empty when
// none is left.
std::string holderList(const std::vector<rendezvous::PortHolder> &holders, bool thisProcess);

} // namespace ftlib
