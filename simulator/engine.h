// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "protocol/codec.h"
#include "protocol/console.h"
#include "protocol/transferarea.h"
#include "simulator/replay.h"

// The simulated controller's device side, without any I/O: bytes from the
// host go in, the bytes to answer come out, and every change of an output is
// reported as an event.
namespace txsim {

// How exchanges that carry structures for extensions are treated; what a
// real controller does with them is not public.
enum class ExtensionExchanges {
    Answer,       // structures of extensions off the bus are skipped
    IgnoreAbsent, // an exchange naming an extension off the bus gets no answer
    IgnoreAll,    // an exchange naming any extension gets no answer
};

struct EngineOptions {
    int extensions = 0;
    std::string name = "ROBO TX-000";
    std::string serial = "0000000001";
    // Outputs go off after this long without an exchange request; 0 = never.
    // Only for demonstrations: what a real controller does is not public.
    std::chrono::milliseconds watchdog{1000};
    // Behaviours of controllers that the library must live with. Commands
    // never answered (nor carried out):
    std::set<std::uint32_t> ignored;
    // Commands answered, under the request's TID, with another command code
    // (and no payload) instead of being carried out:
    std::map<std::uint32_t, std::uint32_t> errorReplies;
    ExtensionExchanges extensionExchanges = ExtensionExchanges::Answer;
    // Every reply carries session id 0, as one emulator does; a new session
    // still switches the outputs off.
    bool sessionZero = false;
    // Something else on the port (a modem, another board): the console
    // probe and every request are answered with bytes that form no frame.
    bool noise = false;
    // Answers as a recorded controller did, where the recording says.
    std::shared_ptr<const Replay> replay;
};

enum class EventKind { Session, Config, Output, Violation, Watchdog, Frame, Probe, Input, Counter };
enum class Violation {
    None,
    NegativeDuty,
    DutyTooHigh,
    BothDirections,
    Malformed,
    // The TXT's online protocol only:
    Pipelined,          // a request before the previous one was answered
    ConfigIdUnchanged,  // an UpdateConfig with the id already in force: ignored
    NotOnline,          // an exchange or UpdateConfig before StartOnline
    Unconfigured,       // an exchange before the master's UpdateConfig
    AfterStop,          // a request after StopOnline
    CrcMismatch,        // a compressed exchange whose words do not match its CRC
    UnknownId,
    Oversized,          // a compressed exchange announcing 4096 bytes or more
};
enum class Direction { Stop, Forward, Backward, Conflict, SingleOutputs };

struct Event {
    EventKind kind = EventKind::Output;
    int ta = 0;
    // Output (0-7), motor (0-3), input (0-7) or counter (0-3) index, where
    // one applies.
    int index = 0;
    // Duty for outputs, SID for sessions, command code for frames,
    // milliseconds without an exchange for the watchdog, 1 for a closed
    // input and 0 for an open one, a counter's count.
    int value = 0;
    // Watchdog: how often it has switched the outputs off so far.
    unsigned count = 0;
    std::uint16_t tid = 0;
    // Frames: the session id the request carried.
    std::uint16_t sid = 0;
    Violation violation = Violation::None;
    // Violations: the simulator ends the connection over it.
    bool closes = false;
    // Frames: the command code or id.
    std::uint32_t command = 0;
    std::array<std::uint8_t, protocol::kMotors> motors{};
};

// What the host sees of one controller (master or extension).
struct TaView {
    bool online = false;
    bool configured = false;
    std::array<std::int16_t, protocol::kOutputs> duty{};
    std::array<std::uint8_t, protocol::kMotors> motorMode{};
    // The switches on I1-I8 (bit n-1 = In closed), and each input's mode as
    // the host configured it (the ROBO TX's byte: bit 7 digital, the low
    // bits 0 voltage, 1 resistance, 3 ultrasonic).
    std::uint8_t closedInputs = 0;
    std::array<std::uint8_t, protocol::kInputs> inputMode{
        {protocol::kInputDigital5k, protocol::kInputDigital5k, protocol::kInputDigital5k, protocol::kInputDigital5k,
         protocol::kInputDigital5k, protocol::kInputDigital5k, protocol::kInputDigital5k, protocol::kInputDigital5k}};
};

struct Snapshot {
    std::array<TaView, protocol::kTaCount> ta{};
    std::uint16_t sid = 0;
    unsigned frames = 0;
    unsigned violations = 0;
    unsigned watchdogFirings = 0;
};

// One piece to send back: a frame or console text, and how much later than
// at once it is due (a replayed controller's own delay).
struct Reply {
    std::vector<std::uint8_t> bytes;
    bool isFrame = true;
    std::chrono::microseconds delay{0};
};

Direction motorDirection(const TaView &ta, int motor);

// Shared by both engines, under their locks. One output set, with an
// event when it changes.
void setDuty(TaView &view, int ta, int output, std::int16_t duty, std::vector<Event> &events);
void flagViolation(Snapshot &state, std::vector<Event> &events, int ta, int index, Violation violation);
// One controller's duties as a controller takes them: a negative one as 0 and
// one above 512 as 512, both flagged, and both channels of a motor driven
// flagged once when it begins (`conflict` remembers which are).
// All outputs off once `watchdog` (0: never) has passed since `lastExchange`,
// with a watchdog event; true when that switched something off.
bool watchdogOff(Snapshot &state, std::chrono::milliseconds watchdog, std::chrono::steady_clock::time_point lastExchange,
                 std::chrono::steady_clock::time_point now, std::vector<Event> &events);
void applyDuties(Snapshot &state, int ta, const std::array<std::int16_t, protocol::kOutputs> &duty,
                 std::array<bool, protocol::kMotors> &conflict, std::vector<Event> &events);
// A switch on input `input` (0-7) of controller `ta` closed or opened, with
// an event when that changes it.
void setInputClosed(Snapshot &state, int ta, int input, bool closed, std::vector<Event> &events);
// The event of counter `counter` (0-3) of controller `ta` set to `value`.
Event counterEvent(int ta, int counter, std::uint16_t value);
// What input `input` of `view` reads in its mode: a switch closed reads 1
// digital and the lowest resistance analog, open 0 and the overrange; the
// other analog modes have nothing to show of a switch and read 0.
std::int16_t inputValue(const TaView &view, int input);

// Thread-safe: the pty loop feeds it while a window reads snapshots.
class DeviceEngine {
public:
    using Clock = std::chrono::steady_clock;
    using Listener = std::function<void(const Event &)>;

    explicit DeviceEngine(EngineOptions options);

    // Called for every event, outside the engine's lock, on the feeding thread.
    void setListener(Listener listener);
    void receive(const std::uint8_t *data, std::size_t size, std::vector<Reply> &replies);
    // Runs the watchdog; call at least every few tens of milliseconds.
    void tick(Clock::time_point now);
    void setExtensionOnline(int extension, bool online);
    // The switch on input `input` (0-7) of controller `ta` (0-8), and the
    // count of counter `counter` (0-3), as every later answer reports them;
    // false for indices out of range.
    bool setInput(int ta, int input, bool closed);
    bool setCounter(int ta, int counter, std::uint16_t value);
    Snapshot snapshot() const;

private:
    void handle(const protocol::Frame &request, std::vector<Reply> &replies, std::vector<Event> &events);
    // Carries the request out; false when it gets no answer.
    bool respond(const protocol::Frame &request, protocol::Frame &reply, std::vector<Event> &events);
    // The answers to the commands, one each.
    void startSession(std::vector<Event> &events);
    void configure(const std::vector<protocol::Item> &items, protocol::Frame &reply, std::vector<Event> &events);
    void describe(std::uint32_t taId, protocol::Frame &reply) const;
    void reportExtensions(protocol::Frame &reply) const;
    bool ignoresExchange(const protocol::Frame &request) const;
    void exchange(const protocol::Frame &request, protocol::Frame &reply, std::vector<Event> &events);
    void allOff(std::vector<Event> &events);
    bool inUse(std::uint32_t ta) const;
    void deliver(const std::vector<Event> &events);

    EngineOptions options_;
    Listener listener_;
    mutable std::mutex mutex_;
    protocol::FrameDecoder decoder_;
    protocol::ConsoleProbeDetector probe_;
    Snapshot state_;
    std::array<std::array<bool, protocol::kMotors>, protocol::kTaCount> conflict_{};
    std::array<protocol::TaInput, protocol::kTaCount> inputs_{};
    std::array<protocol::TaOutput, protocol::kTaCount> lastOutput_{};
    Clock::time_point lastExchange_ = Clock::now();
    // Requests seen per command, for the replay.
    std::map<std::uint32_t, std::size_t> requestCount_;
};

} // namespace txsim
