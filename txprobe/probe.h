// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

// One run of kavrik-txprobe: open the port, run the handshake and the zero
// exchanges, the tests asked for, and write the report.
namespace txprobe {

struct ProbeOptions {
    // A serial port or a TXT's address; empty: the first ROBO TX found on USB,
    // else on Bluetooth, else a ROBOTICS TXT the port search found.
    std::string port;
    // Empty: kavrik-txprobe-<date>-<time>.txt in the current folder.
    std::string output;
    // Opt-in tests that drive a motor and ask the user what it did.
    bool motorTest = false;
    bool silenceTest = false;
    int motor = 1;
};

// Exit status of the program: 0 when the handshake and the exchanges worked,
// 1 when they did not, 3 when the report could not be written.
int runProbe(const ProbeOptions &options);

} // namespace txprobe
