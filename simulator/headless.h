// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "simulator/engine.h"
#include "simulator/ptyserver.h"
#include "simulator/tcpserver.h"
#include "simulator/txtengine.h"

// The simulator without a window: one JSON line per event on stdout, control
// commands one per line on stdin.
namespace txsim {

struct HeadlessOptions {
    bool logFrames = false;
    std::string announcement;
};

// Serves until "quit", end of stdin or SIGTERM/SIGINT; returns the exit code.
int runHeadless(DeviceEngine &engine, PtyServer &server, const HeadlessOptions &options);
int runHeadless(TxtEngine &engine, TcpServer &server, const HeadlessOptions &options);

// Cuts the command input into lines, each byte looked at once however the
// input is split; a line is kept up to kMaxLine bytes and the rest of it,
// up to its newline, dropped.
class LineReader {
public:
    static constexpr std::size_t kMaxLine = 1024;
    // Appends every line completed by `data` (without its newline).
    void feed(const char *data, std::size_t size, std::vector<std::string> &lines);

private:
    std::string line_;
};

// `text` as a JSON string literal: quotes, backslashes and control
// characters escaped, and every byte that is not part of valid UTF-8 written
// as \u00XX, so the output stays valid JSON whatever came in.
std::string jsonString(const std::string &text);

// A whole number (optional sign, then digits) clamped to [low, high]; false
// when `text` is not one.
bool saturatedNumber(const std::string &text, long long low, long long high, long long &value);

} // namespace txsim
