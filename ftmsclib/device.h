#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "codec.h"
#include "emergencystop.h"
#include "serialport.h"
#include "session.h"
#include "transferarea.h"

// One open controller: the identification at open, the transfer area that
// the setters write, and the transfer loop that sends it in the background.
namespace ftlib {

struct LinkTiming {
    std::chrono::milliseconds replyTimeout{200};
    std::chrono::milliseconds cycle{10};
    std::chrono::milliseconds probeTimeout{1000};
    std::chrono::milliseconds statePoll{1000};
    // Zero-output exchange at stop: attempts before giving up.
    int maxTimeouts = 3;
    // Write bound of the zero-output exchange sent, unanswered, as the link
    // is given up.
    std::chrono::milliseconds lastZerosWrite{50};
    // Output changes wait for the next cycle instead of being sent at once
    // (KAVRIK_FTLIB_CYCLE_ONLY=1; only for comparing latencies).
    bool cycleOnly = false;
};

// Thread-safety: the setters and comStatus() may be called from any thread at
// any time; start/stop/close are serialised among themselves. Statuses are
// the FTLIB_ERR_* codes of ftmsclib.h.
class Device {
public:
    // Opens the port and identifies the controller (console probe, echo,
    // information, extension states). Takes at most probeTimeout plus three
    // reply timeouts per request. nullptr with `status` set on failure.
    static std::unique_ptr<Device> open(const std::string &path, const std::string &canonicalPath, std::uint32_t &status);
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    const std::string &path() const { return path_; }
    const std::string &canonicalPath() const { return canonicalPath_; }

    // Starts the loop: configuration of every TA in use, then exchanges.
    std::uint32_t start();
    // Sends one exchange with every output at 0 and ends the loop; returns
    // within (maxTimeouts + 1) reply timeouts. The stored duties become 0.
    std::uint32_t stop();
    // Stops if needed and releases the port. The object stays valid (and
    // every later call fails cleanly) until the last reference goes.
    void close();

    std::uint32_t setMotorConfig(int ta, int motor, bool motorMode);
    // Stores the raw channel value (clamped to 512) and wakes the loop; never
    // waits for I/O.
    std::uint32_t setDuty(int ta, int output, int duty);
    std::uint32_t comStatus() const;

private:
    enum class Pending { None, Config, Exchange, State, Zero };

    Device() = default;
    std::uint32_t identify();
    bool transact(std::uint32_t command, std::vector<std::uint8_t> payload, protocol::Frame &reply,
                  int attempts, bool newSession);
    bool send(const protocol::Frame &frame, std::chrono::milliseconds timeout);
    void wake();
    void drainWake();
    void loop();
    // Payload of an exchange with every output at 0, for the master and every
    // online extension; `count` gets the number of structures.
    std::vector<std::uint8_t> zeroOutputs(std::uint32_t &count) const;
    // One such exchange, written with a short bound and not waited for.
    void sendZerosUnanswered();
    // The bytes of that exchange with the transaction id that comes next,
    // for the fatal-signal handler to write.
    std::vector<std::uint8_t> preparedZeros() const;
    protocol::TaOutput wireOutputs(int ta) const;
    protocol::TaConfig config(int ta) const;

    std::string path_;
    std::string canonicalPath_;
    LinkTiming timing_;
    int wakeFd_ = -1;

    // Guarded by mutex_: the transfer area as the setters left it.
    mutable std::mutex mutex_;
    std::array<std::array<std::int16_t, protocol::kOutputs>, protocol::kTaCount> duty_{};
    std::array<std::array<std::uint8_t, protocol::kMotors>, protocol::kTaCount> motorMode_{};
    std::array<unsigned, protocol::kTaCount> configGeneration_{};
    unsigned outputGeneration_ = 0;
    bool stopRequested_ = false;

    std::atomic<bool> lost_{false};
    std::atomic<bool> closed_{false};

    // Owned by the opening thread, then by the loop while it runs.
    SerialPort port_;
    protocol::Session session_;
    protocol::FrameDecoder decoder_;
    unsigned onlineExtensions_ = 0; // bit k-1 = extension k
    EmergencyStop emergency_;

    std::mutex controlMutex_;
    std::thread thread_;
};

} // namespace ftlib
