// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ftmsclib/trace.h"

// Everything kavrik-txprobe learns, in the order it learns it, and the report
// file made of it: the summary, the system, the port (or a TXT's link), the
// console answer, the errors and the whole conversation with the controller.
namespace txprobe {

// Round-trip times of one request command, in milliseconds. A TXT's
// commands are named by their packet id, and the name the library gives it.
struct RoundTrips {
    std::uint32_t command = 0;
    std::string name;
    std::vector<double> ms;
};

class Report {
public:
    Report();
    Report(const Report &) = delete;
    Report &operator=(const Report &) = delete;

    // Receives the library's trace records (any thread).
    static void sink(const ftlib::TraceRecord &record, void *context);

    // A line of the summary ("key: value"), in the order given.
    void summary(const std::string &key, const std::string &value);
    // The probe's own steps and failures, into the conversation and the
    // errors; sysError 0 when no system call failed.
    void step(const std::string &text);
    void error(const std::string &text, int sysError = 0);
    // Fixed facts: the system, the port.
    void fact(const std::string &section, const std::string &key, const std::string &value);
    // The conversation is a ROBOTICS TXT's: packets named by their ids, one
    // request outstanding, no TIDs and no console. Set before the open.
    void speaksTxt() { txt_ = true; }

    // Answers to exchange requests so far.
    int answeredExchanges() const { return answeredExchanges_.load(); }
    int sentExchanges() const { return sentExchanges_.load(); }
    // Requests written so far (a TXT's: once connected).
    int sentRequests() const { return sentRequests_.load(); }
    // Bytes received from the port so far (console and frames).
    std::size_t bytesReceived() const { return bytesReceived_.load(); }
    // Per command, the time from each request to its answer.
    std::vector<RoundTrips> roundTrips() const;

    std::string text() const;

private:
    // The conversation's section of text(), under the lock it holds.
    std::string conversationText() const;

    struct Line {
        long long tUs;
        std::string event, command, tid, what, bytes;
    };
    void add(const ftlib::TraceRecord &record);
    void addLine(Line line);
    // With mutex_ held: the line into the conversation, in time order.
    void keep(Line line);
    // With mutex_ held: what a sent request or a received frame tells about
    // the round trips.
    void noteSent(const ftlib::TraceRecord &record, Line &line);
    void noteFrame(const ftlib::TraceRecord &record, Line &line);
    // The same for a TXT, whose received records are whole packets.
    void noteTxtSent(const ftlib::TraceRecord &record, Line &line);
    void noteTxtPacket(const ftlib::TraceRecord &record, Line &line);
    // With mutex_ held: the open request answered at `tUs`.
    void answered(long long tUs);

    const long long startUs_;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> summary_;
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> facts_;
    std::vector<std::string> errors_;
    std::vector<Line> conversation_;
    std::vector<std::uint8_t> console_;
    bool txt_ = false;
    // The request awaiting its answer: command, its name (a TXT's), TID, time.
    std::uint32_t openCommand_ = 0;
    std::string openName_;
    std::uint16_t openTid_ = 0;
    long long openUs_ = -1;
    std::vector<RoundTrips> roundTrips_;
    std::atomic<int> answeredExchanges_{0};
    std::atomic<int> sentExchanges_{0};
    std::atomic<int> sentRequests_{0};
    std::atomic<std::size_t> bytesReceived_{0};
};

// "min 0.412  median 0.530  p99 1.204  max 1.950 ms (n = 200)"
std::string roundTripText(const std::vector<double> &ms);

} // namespace txprobe
