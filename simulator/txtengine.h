// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/txt.h"
#include "simulator/engine.h"

// The simulated ROBOTICS TXT's side of the online protocol, without any I/O:
// the bytes of one TCP connection go in, the reply bytes come out with the
// time each is due, and every change of an output is an event (the same
// events as the ROBO TX's, TA 0 the master, 1 the extension).
//
// The outputs outlive connections: a closed, reset or silent connection and
// StopOnline leave them as last set; only the watchdog, when on, switches
// them off. So what a test sees go to 0 was sent by the host.
namespace txsim {

struct TxtOptions {
    bool extension = false;
    // Up to 16 bytes; what a real TXT reports is not known.
    std::string name = "TXT simulator";
    std::uint32_t version = 0x04070000;
    // Outputs go off after this long without an exchange; 0 = never.
    std::chrono::milliseconds watchdog{1000};
    // Every reply this much later than its request.
    std::chrono::milliseconds latency{0};
};

struct TxtReply {
    std::vector<std::uint8_t> bytes;
    std::chrono::steady_clock::time_point due;
};

// Thread-safe: the serving thread feeds it while a window reads snapshots.
class TxtEngine {
public:
    using Clock = std::chrono::steady_clock;
    using Listener = std::function<void(const Event &)>;
    // An exchange is answered this long after the previous exchange's answer at the earliest.
    static constexpr std::chrono::milliseconds kPacing{10};

    explicit TxtEngine(TxtOptions options);

    // Called for every event, outside the engine's lock, on the calling thread.
    void setListener(Listener listener);
    // A new connection: a fresh byte stream, fresh compressed references,
    // not online; the outputs stay.
    void connect();
    // Bytes of the connection, received at `now`; the answers are appended to
    // `replies`, due in order. False when the simulator ends the connection
    // (a violation event says why; nothing more is to be sent or read).
    bool receive(const std::uint8_t *data, std::size_t size, Clock::time_point now, std::vector<TxtReply> &replies);
    // Runs the watchdog; call at least every few tens of milliseconds.
    void tick(Clock::time_point now);
    // An extension that goes away stops its outputs, as on the TX's bus.
    void setExtensionPresent(bool present);
    void setLatency(std::chrono::milliseconds latency);
    // As DeviceEngine's: `ta` 0 (the Master) or 1 (the extension).
    bool setInput(int ta, int input, bool closed);
    bool setCounter(int ta, int counter, std::uint16_t value);
    Snapshot snapshot() const;

private:
    enum class Link { Idle, Online, Stopped };
    using Events = std::vector<Event>;

    // Carries one whole packet out; false when the connection must end.
    bool handle(const std::uint8_t *packet, std::size_t size, std::vector<std::uint8_t> &reply, Events &events);
    void startOnline(Events &events);
    void updateConfig(const std::uint8_t *packet, std::size_t size, Events &events);
    void exchange(const std::uint8_t *packet, std::size_t size, std::vector<std::uint8_t> &reply, Events &events);
    bool compressedExchange(const std::uint8_t *packet, std::size_t size, std::vector<std::uint8_t> &reply,
                            Events &events);
    // Whether exchanges may drive: flags an exchange out of order (once per connection).
    bool mayDrive(Events &events);
    void drive(int ta, const protocol::txt::Outputs &outputs, Events &events);
    // What controller `ta` answers: its inputs as their modes read them.
    protocol::txt::Inputs answerOf(int ta) const;
    void queue(std::vector<std::uint8_t> bytes, bool paced, Clock::time_point now, std::vector<TxtReply> &replies);
    void flag(Events &events, Violation violation, bool closes = false, int ta = 0, int index = 0);
    void deliver(const Events &events);

    TxtOptions options_;
    Listener listener_;
    mutable std::mutex mutex_;
    Snapshot state_;
    std::array<std::array<bool, protocol::kMotors>, 2> conflict_{};
    std::array<protocol::txt::Inputs, 2> inputs_{};
    std::array<protocol::txt::Outputs, 2> lastOutputs_{};
    Clock::time_point lastExchange_ = Clock::now();

    // The connection's.
    std::vector<std::uint8_t> buffer_;
    bool closed_ = false;
    Link link_ = Link::Idle;
    protocol::txt::WordStream received_, sent_;
    std::array<std::int16_t, 2> configId_{};
    bool flaggedOrder_ = false;
    // When the last answer and the last exchange's answer are due.
    Clock::time_point lastDue_{};
    Clock::time_point lastExchangeDue_{};
};

} // namespace txsim
