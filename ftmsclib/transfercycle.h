// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "protocol/transferarea.h"

namespace ftlib {

// The transfer loop's bookkeeping between its steps, the same for every
// session: the one request outstanding, what the controller has
// acknowledged or been sent (generations of the transfer area's
// configuration and outputs), and when something is due. The device runs
// the cycle (transfercycle.cpp); its session reads and adjusts it from its
// part of the cycle, on the loop's thread only.
struct TransferCycle {
    using Clock = std::chrono::steady_clock;

    // What a request asks. Start and Stop open and end a conversation (a
    // TXT's online mode); Status is a session's own question.
    enum class Pending { None, Start, Config, Exchange, Status, Zero, Stop };

    // What the loop sends next.
    struct Request {
        Pending kind = Pending::None;
        std::uint32_t command = 0;
        // The structures in it, where the framing counts them.
        std::uint32_t count = 0;
        std::vector<std::uint8_t> payload;
        // Written and not waited for (zeros for extensions out of reach):
        // its answer, if any, comes as a stale one.
        bool awaited = true;
        // A configuration: the controller, and the generation it carries.
        int ta = 0;
        unsigned configGeneration = 0;
    };

    // A generation that was never sent, so the first comparison asks for it.
    static constexpr unsigned kNeverSent = ~0u;

    // A new transfer: nothing acknowledged or sent, everything due now.
    void restart(Clock::time_point now)
    {
        *this = TransferCycle{};
        ackedConfigGeneration.fill(kNeverSent);
        sentOutputGeneration = kNeverSent;
        deadline = now;
        nextCycle = now;
        idleUntil = now;
    }

    Pending pending = Pending::None;
    std::uint32_t pendingCommand = 0;
    int pendingTa = 0;
    unsigned pendingConfigGeneration = 0;
    std::array<unsigned, protocol::kTaCount> ackedConfigGeneration{};
    unsigned sentOutputGeneration = 0;
    // The stop's zeros are answered.
    bool zeroDone = false;
    // When the outstanding request's answer is given up.
    Clock::time_point deadline;
    Clock::time_point nextCycle;
    // With nothing outstanding: when something is due next.
    Clock::time_point idleUntil;
};

} // namespace ftlib
