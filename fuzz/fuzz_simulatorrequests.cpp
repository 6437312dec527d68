// SPDX-License-Identifier: GPL-3.0-or-later
// Bytes a host sends, fed into the simulator's device engine the way its
// pseudo-terminal loop does (simulator/ptyserver.cpp), between watchdog ticks
// and extensions joining and leaving the bus. What comes back must be whole
// frames or the console answer, and the outputs the engine reports must stay
// what a controller can drive.
//
// The first byte gives the number of extensions, the next two the watchdog
// in milliseconds (0: none). Then records, each a tag byte (taken modulo 5)
// and its fields:
//   0  bytes       u16 count, then that many bytes, received as one read
//   1  request     a frame built from fields (see requestFrame) with a correct
//                  length and checksum, so the handling behind it is reached
//   2  probe       the console probe, cut after a given number of bytes
//   3  extension   extension number (0-9, so invalid ones too), online bit
//   4  tick        u16 milliseconds ahead of now
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "protocol/codec.h"
#include "protocol/console.h"
#include "protocol/transferarea.h"
#include "simulator/engine.h"

using namespace protocol;
using txsim::DeviceEngine;
using txsim::Event;
using txsim::EventKind;
using txsim::Reply;

namespace {

const txsim::EngineOptions kDefaults;

// A request with a correct length and checksum. The command selector picks
// echo, exchange, configuration, information, state or any 32-bit code.
// Flags: bit 0 makes the payload free-form instead of structures of the
// command's kind; bit 1 changes one byte after encoding; bit 2 splits the
// frame over two reads.
std::vector<std::vector<std::uint8_t>> requestFrame(FuzzInput &in)
{
    static const std::uint32_t commands[] = {kCmdEcho, kCmdExchange, kCmdConfig, kCmdInfo, kCmdState};
    const std::uint8_t flags = in.byte();
    const std::uint8_t selector = in.byte() % 6;
    Frame request;
    request.from = kBusMaster;
    request.to = kBusWildcard;
    request.command = selector < 5 ? commands[selector] : in.u32();
    request.tid = in.u16();
    request.sid = in.u16();
    if (flags & 0x01) {
        request.items = in.u32();
        request.payload = in.bytes(in.u16() % (kMaxPayload + 1));
    } else {
        std::size_t structSize = 4;
        if (request.command == kCmdExchange)
            structSize = kTaOutputSize;
        else if (request.command == kCmdConfig)
            structSize = kTaConfigSize;
        else if (request.command == kCmdInfo || request.command == kCmdState)
            structSize = 0;
        request.items = in.byte() % (kTaCount + 1);
        for (std::uint32_t i = 0; i < request.items; ++i) {
            appendTaId(request.payload, in.byte());
            const std::vector<std::uint8_t> structure = in.bytes(structSize);
            request.payload.insert(request.payload.end(), structure.begin(), structure.end());
        }
    }
    std::vector<std::uint8_t> bytes = encodeFrame(request);
    require(!bytes.empty(), "request fits in a frame");
    if (flags & 0x02) {
        const std::uint8_t change = in.byte();
        bytes[in.u16() % bytes.size()] ^= change ? change : 0x01;
    }
    if (!(flags & 0x04))
        return {bytes};
    const auto cut = static_cast<std::ptrdiff_t>(in.u16() % (bytes.size() + 1));
    return {std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + cut),
            std::vector<std::uint8_t>(bytes.begin() + cut, bytes.end())};
}

// The structure size of each reply's items; TA ids alone for configuration.
bool replyWellFormed(const Frame &reply)
{
    std::vector<Item> items;
    switch (reply.command) {
    case kCmdEcho + kReplyOffset:
        return true;
    case kCmdExchange + kReplyOffset:
        return splitItems(reply, kTaInputSize, items);
    case kCmdConfig + kReplyOffset:
        return splitItems(reply, 0, items);
    case kCmdInfo + kReplyOffset:
        return splitItems(reply, kTaInfoSize, items) && items.size() == 1;
    case kCmdState + kReplyOffset:
        return splitItems(reply, kTaStateSize, items) && items.size() == 1;
    default:
        return false;
    }
}

class Harness {
public:
    explicit Harness(const txsim::EngineOptions &options)
        : engine_(options), options_(options)
    {
        engine_.setListener([this](const Event &e) { event(e); });
    }

    void receive(const std::vector<std::uint8_t> &bytes)
    {
        std::vector<Reply> replies;
        engine_.receive(bytes.data(), bytes.size(), replies);
        for (const Reply &reply : replies)
            checkReply(reply);
        checkState();
    }

    void setExtensionOnline(int extension, bool online)
    {
        engine_.setExtensionOnline(extension, online);
        checkState();
    }

    void tick(std::chrono::milliseconds ahead)
    {
        engine_.tick(DeviceEngine::Clock::now() + ahead);
        const txsim::Snapshot state = checkState();
        if (options_.watchdog.count() > 0 && ahead >= options_.watchdog) {
            for (const txsim::TaView &ta : state.ta) {
                for (std::int16_t duty : ta.duty)
                    require(duty == 0, "the watchdog stops every output");
            }
        }
    }

private:
    void event(const Event &e)
    {
        require(e.ta >= 0 && e.ta < kTaCount, "event for a TA that exists");
        if (e.kind != EventKind::Output)
            return;
        require(e.index >= 0 && e.index < kOutputs, "output event for an output that exists");
        require(e.value >= 0 && e.value <= kDutyMax, "reported duty within 0-512");
        reported_[static_cast<std::size_t>(e.ta)][static_cast<std::size_t>(e.index)] = e.value;
    }

    void checkReply(const Reply &reply)
    {
        if (!reply.isFrame) {
            require(reply.bytes == consoleAnswer(options_.name, options_.serial), "console text is the answer");
            return;
        }
        FrameDecoder decoder;
        decoder.feed(reply.bytes.data(), reply.bytes.size());
        Frame frame;
        require(decoder.next(frame), "a reply is a valid frame");
        require(reply.bytes.size() == frame.payload.size() + kHeaderSize + 3, "a reply is one frame, nothing more");
        require(replyWellFormed(frame), "a reply carries structures of its kind");
    }

    // The window and the headless log show outputs from the events alone,
    // so the events must add up to the engine's state.
    txsim::Snapshot checkState()
    {
        const txsim::Snapshot state = engine_.snapshot();
        require(state.ta[0].online, "the master is always there");
        for (std::size_t ta = 0; ta < state.ta.size(); ++ta) {
            const txsim::TaView &view = state.ta[ta];
            for (std::size_t o = 0; o < view.duty.size(); ++o) {
                require(view.duty[o] >= 0 && view.duty[o] <= kDutyMax, "duty within 0-512");
                require(view.duty[o] == reported_[ta][o], "events add up to the outputs");
                require(view.online || view.duty[o] == 0, "an extension off the bus drives nothing");
            }
            require(view.online || !view.configured, "an extension off the bus is not configured");
        }
        return state;
    }

    DeviceEngine engine_;
    txsim::EngineOptions options_;
    std::array<std::array<int, kOutputs>, kTaCount> reported_{};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput in(data, size);
    txsim::EngineOptions options = kDefaults;
    options.extensions = in.byte() % (kMaxExtensions + 1);
    options.watchdog = std::chrono::milliseconds(in.u16());
    Harness harness(options);
    while (!in.atEnd()) {
        switch (in.byte() % 5) {
        case 0:
            harness.receive(in.bytes(in.u16() % 2048));
            break;
        case 1:
            for (const std::vector<std::uint8_t> &piece : requestFrame(in))
                harness.receive(piece);
            break;
        case 2: {
            std::vector<std::uint8_t> probe = consoleProbe();
            probe.resize(std::min<std::size_t>(probe.size(), in.byte()));
            harness.receive(probe);
            break;
        }
        case 3: {
            const int extension = in.byte() % (kMaxExtensions + 2);
            harness.setExtensionOnline(extension, in.byte() & 1);
            break;
        }
        default:
            harness.tick(std::chrono::milliseconds(in.u16()));
            break;
        }
    }
    return 0;
}
