// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/codec.h"

// The host's side of a session: transaction ids, the session id learnt from
// the controller, and which reply belongs to the outstanding request.
namespace protocol {

enum class EchoReply { Echoed, Empty, Other };

// How a received frame relates to the outstanding request.
enum class ReplyMatch {
    Answer,       // its TID and reply code
    Stale,        // another TID, or nothing outstanding: an old or foreign reply
    WrongCommand, // its TID but another command code: the device says something else
};

// Not thread-safe; one session belongs to one port.
class Session {
public:
    // Starts over: the next request gets TID 1 and SID 0, which makes the
    // device open a new session.
    void restart();
    // Builds the next request (from master to wildcard) with the next TID and
    // remembers it as outstanding. TIDs run 1 ... 0xFFFF and then start at 1,
    // or at 2 while the SID is 0: TID 1 with SID 0 tells the device to start a
    // new session (all outputs off), which only restart() may ask for.
    Frame request(std::uint32_t command, std::uint32_t items, std::vector<std::uint8_t> payload);
    // Answer when `reply` answers the outstanding request (same TID, command +
    // 100): the request is then no longer outstanding and the reply's SID is
    // used from the next request on. `from`, `to` and the SID are not checked:
    // controllers differ there. Stale and WrongCommand leave the request
    // outstanding.
    ReplyMatch match(const Frame &reply);
    // Takes the session that a later answer names: a repeated request that
    // opens a session (TID 1, SID 0) may be answered more than once, each
    // answer of a new session, the last one the device's.
    void resumeSession(std::uint16_t sid) { sid_ = sid; }
    bool outstanding() const { return outstanding_; }
    std::uint16_t sid() const { return sid_; }
    // TID and command of the last request.
    std::uint16_t tid() const { return tid_; }
    std::uint32_t command() const { return command_; }

private:
    std::uint16_t tid_ = 0;
    std::uint16_t sid_ = 0;
    std::uint32_t command_ = 0;
    bool outstanding_ = false;
};

// The echo request that opens a session: TA 0 and four marker bytes.
std::vector<std::uint8_t> echoPayload();
// Controllers either echo the request's payload or answer with none; both
// are accepted, anything else only noted.
EchoReply classifyEcho(const Frame &request, const Frame &reply);

} // namespace protocol
