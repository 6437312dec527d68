#pragma once

#include <string>

#include "engine.h"
#include "ptyserver.h"

// The simulator without a window: one JSON line per event on stdout, control
// commands one per line on stdin.
namespace txsim {

struct HeadlessOptions {
    bool logFrames = false;
    std::string announcement;
};

// Serves until "quit", end of stdin or SIGTERM/SIGINT; returns the exit code.
int runHeadless(DeviceEngine &engine, PtyServer &server, const HeadlessOptions &options);

} // namespace txsim
