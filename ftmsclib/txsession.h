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
#include "protocol/codec.h"
#include "protocol/session.h"
#include "protocol/transferarea.h"

// A ROBO TX on a serial port: the identification at open (console probe,
// echo, information, status, extensions), then the transfer loop's requests
// one outstanding at a time, each under a transaction id, with the Master and
// every extension online in the exchanges.
namespace ftlib {

class TxSession final : public Device {
public:
    // Opens the serial port and identifies the controller.
    static std::unique_ptr<Device> open(const std::string &path, const std::string &canonicalPath,
                                        std::uint32_t &status, bool guarded);
    // The same conversation over another transport (a test's or a fuzzer's),
    // with the given settings; never guarded.
    static std::unique_ptr<Device> openOver(std::unique_ptr<Transport> transport, const std::string &name,
                                            const LinkSettings &settings, std::uint32_t &status);

private:
    enum class Pending { None, Config, Exchange, State, Zero };
    // NotAsked: the open's time was up before the request could go out.
    enum class Outcome { Answer, NoAnswer, NotAsked, WrongCommand, PortFailed };

    // What the loop sends next. An unawaited request (zeros for extensions
    // the transfer does not reach) is written and not waited for: its answer,
    // if any, comes as a stale one.
    struct Request {
        Pending kind = Pending::None;
        std::uint32_t command = 0;
        std::uint32_t count = 0;
        std::vector<std::uint8_t> payload;
        bool namesExtensions = false;
        bool awaited = true;
        // Refused extensions asked again (bit k-1 = extension k).
        unsigned reasking = 0;
        int ta = 0;
        unsigned configGeneration = 0;
    };

    // The loop's bookkeeping between its steps. The generations are those of
    // the transfer area's configuration and outputs that the controller has
    // acknowledged or been sent.
    struct LoopState {
        std::array<unsigned, protocol::kTaCount> ackedConfigGeneration{};
        unsigned sentOutputGeneration = 0;
        Pending pending = Pending::None;
        int pendingTa = 0;
        unsigned pendingConfigGeneration = 0;
        bool pendingNamesExtensions = false;
        unsigned pendingReasking = 0;
        // Unanswered exchanges that named extensions, in a row.
        int extensionTimeouts = 0;
        bool zeroDone = false;
        // At a stop: the zeros for driven extensions out of reach are out.
        bool wideZerosSent = false;
        // Refused extensions that the status reports online are asked again
        // then, less often each time they stay silent.
        bool reaskDue = false;
        Clock::time_point nextReask;
        std::chrono::milliseconds reaskInterval{0};

        Clock::time_point deadline;
        Clock::time_point nextCycle;
        Clock::time_point nextStatePoll;
        // With nothing outstanding: when something is due next.
        Clock::time_point idleUntil;
    };

    using Device::Device;
    static std::unique_ptr<TxSession> create(const std::string &path, const std::string &canonicalPath,
                                             const LinkSettings &settings, std::uint32_t &status);

    void transfer() override;
    std::vector<std::uint8_t> lastZeros() const override;
    unsigned extensionsInUse() const override;
    DeviceKind kind() const override;
    void traceZeros(const std::vector<std::uint8_t> &bytes) const override;

    bool send(const protocol::Frame &frame, std::chrono::milliseconds timeout);

    // Defined in txreplies.cpp: the one way replies come in, for the open
    // and the loop alike.
    enum class Received { Data, Nothing, Closed };
    // Reads what the transport has (until a short read), traces it and
    // feeds the decoder.
    Received receive();
    // The next whole frame from the decoder, matched against the outstanding
    // request and traced; false when more bytes are needed.
    bool nextReply(protocol::Frame &reply, protocol::ReplyMatch &match);

    // Defined in txidentify.cpp: the conversation at open.
    std::uint32_t identify();
    void readConsole();
    std::uint32_t askEcho();
    std::uint32_t askInformation();
    std::uint32_t askStatus();
    std::uint32_t greetExtensions();
    // How a request is asked at open: up to `attempts` times, and again
    // until `keepTrying` has passed, each time waiting one reply timeout for
    // the answer but never beyond `until`. A request that opens a session
    // says so every time (TID 1, SID 0).
    struct Asking {
        int attempts = 1;
        bool newSession = false;
        Clock::time_point keepTrying{};
        Clock::time_point until{};
    };
    // `attempt` gets the number of the try (from 0) that was answered. A try
    // whose bytes the port does not take counts as unanswered.
    Outcome transact(std::uint32_t command, const std::vector<std::uint8_t> &payload, protocol::Frame &reply,
                     const Asking &asking, int &attempt);
    // Waits one reply timeout (never beyond `until`) for the answer.
    Outcome awaitAnswer(std::uint32_t command, Clock::time_point until, protocol::Frame &reply);
    // How long a write at open may wait for the port: a reply timeout, but
    // never beyond `until`.
    std::chrono::milliseconds writeBound(Clock::time_point until) const;
    // One try of a request to the Master, within the open's time.
    Outcome askMasterOnce(std::uint32_t command, protocol::Frame &reply);

    // Defined in txloop.cpp: the loop's steps; each step that returns false
    // has ended the loop (stop completed or link lost).
    bool chooseRequest(LoopState &s, Request &request);
    bool chooseZeros(LoopState &s, const Area &area, Request &request);
    bool chooseConfig(LoopState &s, const Area &area, Request &request);
    void chooseExchange(LoopState &s, const Area &area, Clock::time_point now, Request &request);
    bool sendRequest(LoopState &s, Request &request);
    bool readPort(LoopState &s);
    void matchReplies(LoopState &s);
    void takeState(LoopState &s, const protocol::Frame &reply);
    void takeReasked(LoopState &s, const protocol::Frame &reply);
    bool countTimeout(LoopState &s);
    bool extensionExchangeMissed(LoopState &s);
    // Extensions that drop out of reach get their zeros.
    void leaveUse(unsigned before);
    // Defined in txwire.cpp: what goes on the wire. The controllers (bit 0 the Master, bit k
    // extension k) that the zeros go to: those in use, and with `driven`
    // also those given a duty other than 0 since the open.
    unsigned zeroTas(bool driven) const;
    // Payload of an exchange for the controllers `tas`, each with every
    // output at 0 or, with `wire`, with its outputs as the setters left
    // them (in use only); `count` gets the number of structures.
    static std::vector<std::uint8_t> outputsPayload(const Area &area, unsigned tas, unsigned wire,
                                                    std::uint32_t &count);
    static protocol::TaConfig config(const Area &area, int ta);
    // Hands the inputs of every controller an exchange's answer carries to
    // inputsAnswered().
    void takeInputs(const protocol::Frame &reply);

    // Written by the open only.
    // The open ends by then, whatever the device says.
    Clock::time_point openDeadline_{};
    // What came at open: the console's bytes and whether they were its
    // answer; then the bytes read and the whole frames among them (the
    // loop's reads go on counting). Bytes that never form a frame come from
    // something else than a controller.
    std::vector<std::uint8_t> consoleBytes_;
    bool consoleAnswered_ = false;
    std::size_t bytesReceived_ = 0;
    std::size_t framesSeen_ = 0;
    // The status request went unanswered at open: not asked again.
    bool statePolling_ = true;
    // The open's time was up before it was asked: the transfer asks at once.
    bool stateUnasked_ = false;

    // Owned by the opening thread, then by the loop while it runs.
    protocol::Session session_;
    protocol::FrameDecoder decoder_;
    // Bit k-1 = extension k; read by the setters as well.
    std::atomic<unsigned> onlineExtensions_{0};
    // Extensions whose exchanges went unanswered although the controller
    // still reported them online: not driven until they answer again.
    std::atomic<unsigned> refused_{0};
};

} // namespace ftlib
