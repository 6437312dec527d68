// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ftmsclib/device.h"
#include "protocol/txt.h"

// A ROBOTICS TXT (or a TXT 4.0 running ftrobopy_server) over TCP, in its
// online mode: the status query at open; at each start a connection in
// online mode (StartOnline), the configuration of the Master and of the
// extension when there is one, then an exchange every cycle, strictly one
// request outstanding; at the stop an answered exchange of zeros and
// StopOnline, which ends the connection. The compressed exchange carries
// the Master and Extension 1; ftrobopy_server gets the plain one, the
// Master alone.
namespace ftlib {

class TcpPort;

class TxtSession final : public Device {
public:
    // Connects to `address` (see rendezvous/txtaddress.h) and asks the
    // TXT's status.
    static std::unique_ptr<Device> open(const std::string &address, std::uint32_t &status, bool guarded);
    // The same conversation over another stream (a test's or a fuzzer's),
    // with the given settings; never guarded, never connected again.
    static std::unique_ptr<Device> openOver(std::unique_ptr<StreamTransport> transport, const std::string &name,
                                            const LinkSettings &settings, std::uint32_t &status);

private:
    enum class Pending { None, Status, Start, Config, Exchange, Zero, Stop };
    // What came of waiting for a whole packet.
    enum class Take { Packet, Nothing, Closed, Garbled };

    struct LoopState {
        Pending pending = Pending::None;
        std::uint32_t pendingCommand = 0;
        int pendingTa = 0;
        unsigned pendingConfigGeneration = 0;
        std::array<unsigned, 2> ackedConfigGeneration{};
        unsigned sentOutputGeneration = 0;
        // StartOnline answered; an exchange went out; the stop's zeros and
        // StopOnline answered.
        bool online = false;
        bool exchanged = false;
        bool zeroDone = false;
        bool stopDone = false;
        Clock::time_point deadline;
        Clock::time_point nextCycle;
        Clock::time_point idleUntil;
    };

    using Device::Device;
    static std::unique_ptr<TxtSession> create(const std::string &name, const LinkSettings &settings,
                                              std::uint32_t &status);

    bool prepare() override;
    void transfer() override;
    std::vector<std::uint8_t> lastZeros() const override;
    unsigned extensionsInUse() const override;
    DeviceKind kind() const override;
    void endConversation() override;
    void traceZeros(const std::vector<std::uint8_t> &bytes) const override;

    StreamTransport &stream() const { return static_cast<StreamTransport &>(transport()); }

    // Defined in txtopen.cpp: the connection and the status query.
    std::uint32_t connect(Clock::time_point until, std::unique_ptr<TcpPort> &port);
    std::uint32_t askStatus(Clock::time_point until);
    // The next whole packet, once all of it is there; the bytes stay with
    // the connection until then (the guardians read an answer whole).
    Take takePacket(std::vector<std::uint8_t> &packet);
    // What the guardians and the fatal-signal handler need to keep to the
    // one-request rule as the program dies.
    void shareAnswers();

    // Defined in txtloop.cpp: the loop's steps; each that returns false has
    // ended the loop (stop completed or link lost).
    bool choose(LoopState &s);
    bool chooseStop(LoopState &s);
    bool chooseConfig(LoopState &s, const Area &area);
    bool request(LoopState &s, Pending kind, std::uint32_t command, const std::vector<std::uint8_t> &bytes);
    bool readReplies(LoopState &s);
    bool takeReply(LoopState &s, const std::vector<std::uint8_t> &reply);
    bool takeExchange(LoopState &s, const std::vector<std::uint8_t> &reply);
    bool countTimeout(LoopState &s);


    // Defined in txtwire.cpp: what goes on the wire.
    std::vector<std::uint8_t> exchangeBytes(const Area &area, bool zeros, protocol::txt::WordStream &sent) const;
    std::vector<std::uint8_t> configBytes(const Area &area, int ta);
    // Hands an exchange answer's blocks (the Master's, then Extension 1's)
    // to inputsAnswered().
    void takeInputs(const std::vector<protocol::txt::Inputs> &blocks);
    AnswerShape exchangeAnswer() const;
    static AnswerShape answerFor(std::uint32_t command);

    // Written by the open only.
    std::string host_;
    std::uint16_t port_ = 0;
    // ftrobopy_server on a TXT 4.0: the plain exchange, the Master alone.
    bool plain_ = false;
    // A stream given by a test: never connected again.
    bool given_ = false;

    // The loop's (lastZeros() runs on it too).
    // An online period ended on this connection: the next start connects anew.
    bool spent_ = false;
    // StartOnline answered and StopOnline not yet sent: zeros may go.
    bool online_ = false;
    protocol::txt::WordStream sent_;
    protocol::txt::WordStream received_;
    // Mask bit 0: the exchanges carry Extension 1, from the first answer
    // that says it is there, for the rest of the connection.
    std::uint16_t mask_ = 0;
    std::array<std::int16_t, 2> configId_{};
    // Read by the setters as well: Extension 1 is there (bit 0).
    std::atomic<unsigned> present_{0};
};

} // namespace ftlib
