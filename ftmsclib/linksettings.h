// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <string>

namespace ftlib {

// How a device's link is timed: by the kind of port, then by the library's
// environment variables.
struct LinkSettings {
    std::chrono::milliseconds replyTimeout{200};
    std::chrono::milliseconds cycle{10};
    std::chrono::milliseconds probeTimeout{500};
    std::chrono::milliseconds statePoll{1000};
    // The echo is sent up to maxTimeouts times, and on Bluetooth again and
    // again until this much time has passed: the radio link may still be
    // forming when the port opens.
    std::chrono::milliseconds echoWindow{0};
    // Reply timeouts in a row that lose the link; zero-exchange attempts at stop.
    int maxTimeouts = 3;
    // The whole open, whatever the device claims, ends within this: 2 s, 12 s
    // on Bluetooth, more where the timeouts set by the environment need it
    // (see forPort)...
    std::chrono::milliseconds openBudget{2000};
    // ...of which the information and status requests keep one reply
    // timeout each, whenever the echo is answered, and the questions to the
    // extensions it reports take at most this many together.
    int extensionTimeouts = 2;
    // Write bound of the zero-output exchange sent, unanswered, as the link
    // is given up.
    std::chrono::milliseconds lastZerosWrite{50};
    // Output changes wait for the next cycle instead of being sent at once
    // (KAVRIK_FTLIB_CYCLE_ONLY=1; only for comparing latencies).
    bool cycleOnly = false;
    // KAVRIK_FTLIB_EXTENSIONS=0: the Master alone, no status requests.
    bool extensions = true;

    // Bluetooth timing on Bluetooth ports (rendezvous::bluetoothPort), then
    // KAVRIK_FTLIB_REPLY_TIMEOUT_MS, KAVRIK_FTLIB_CYCLE_MS,
    // KAVRIK_FTLIB_EXTENSIONS and KAVRIK_FTLIB_CYCLE_ONLY. A value that is
    // not a whole number in range is ignored (and traced). The open's budget
    // is at least what the console probe, the echo's tries, the information
    // and status requests and the extensions' share take at these timeouts.
    static LinkSettings forPort(const std::string &path, const std::string &canonicalPath);
    // The same for a link known to be Bluetooth or not; `port` names it in
    // the trace.
    static LinkSettings forLink(bool bluetooth, const std::string &port);
    // A ROBOTICS TXT at `address` (see rendezvous/txtaddress.h): answers
    // awaited 200 ms on USB and on this computer, 250 ms over a radio or an
    // unknown network, three of them in a row before the link is lost (no
    // request is sent again meanwhile: a late answer could not be told from
    // the next one); the open, connect included, within 2 s. The same
    // variables apply.
    static LinkSettings forTxt(const std::string &address);

private:
    void applyEnvironment(const std::string &port);
};

} // namespace ftlib
