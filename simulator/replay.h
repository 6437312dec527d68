// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

// A controller's answers as a kavrik-txprobe report recorded them, so that
// the simulator can answer the same way and a user's report becomes a test.
//
// The report's section "== conversation" holds one line per event, fields
// separated by tabs: time in microseconds, event, command, TID, what, bytes
// as hex. Used here: "tx" (a request: command and TID), "frame" (a frame
// received, "what" being its verdict: "answer", "stale" or "wrong command")
// and "console" (the answer to the serial-number probe). A "frame" answers
// the "tx" before it when their TIDs agree and the verdict is not "stale".
namespace txsim {

struct RecordedAnswer {
    bool answered = false;
    std::vector<std::uint8_t> frame;
    // From the request to the frame's arrival, as the host saw it.
    std::chrono::microseconds delay{0};
};

class Replay {
public:
    // False with `error` when the file cannot be read or records no request.
    bool load(const std::string &path, std::string &error);
    bool parse(std::istream &in, std::string &error);

    // The console bytes recorded; empty when the controller gave none.
    const std::vector<std::uint8_t> &consoleAnswer() const { return console_; }
    // What the controller did with the n-th request (from 0) of `command`;
    // past the recorded ones, what it did with the last. nullptr when the
    // command was never sent in the recording.
    const RecordedAnswer *answer(std::uint32_t command, std::size_t n) const;
    std::size_t requests() const { return requests_; }

private:
    std::map<std::uint32_t, std::vector<RecordedAnswer>> answers_;
    std::vector<std::uint8_t> console_;
    std::size_t requests_ = 0;
};

} // namespace txsim
