// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftmsclib/emergencystop.h"
#include "ftmsclib/guarding.h"
#include "ftmsclib/linksettings.h"
#include "ftmsclib/transport.h"
#include "ftmsclib/wakesignal.h"
#include "protocol/codec.h"
#include "protocol/session.h"
#include "protocol/transferarea.h"

// One open controller, whatever it speaks: the transfer area the setters
// write, the thread that sends it, the guardian and the fatal-signal zeros
// that stop the outputs when the program dies, and the rule that gives the
// link up. The conversation itself is a session's (TxSession on a serial
// port, TxtSession over TCP), which derives from this.
namespace ftlib {

// What the identification at open learnt.
struct Identity {
    // A ROBO TX: the console's serial number, the information and the status.
    std::string serial;
    bool infoAnswered = false;
    protocol::TaInfo info;
    bool stateAnswered = false;
    unsigned onlineExtensions = 0; // bit k-1 = extension k
    protocol::EchoReply echo = protocol::EchoReply::Empty;
    // A ROBOTICS TXT: what its status query said.
    bool txt = false;
    std::string txtName;
    std::uint32_t txtFirmware = 0;
};

// What an open controller is and what it can take: its session's, never its
// port's name's (ftxGetDeviceKind).
enum class Model { RoboTx, Txt };
struct DeviceKind {
    Model model = Model::RoboTx;
    // Extensions 1 to maxExtensions at most.
    int maxExtensions = 0;
    // Which extensions it has is told only in the transfer's answers: before
    // the start none is reached.
    bool extensionsWhileRunning = false;
};

// One controller's inputs as the last answer reported them, and its end
// switches (GetFtInputState): bit n-1 for In, bit o for output o.
struct InputState {
    std::array<std::int16_t, protocol::kInputs> universal{};
    std::array<std::int16_t, protocol::kCounters> counter{};
    unsigned switches = 0;
    unsigned closed = 0;
    unsigned blocked = 0;
    bool answered = false;
};

// Threads: the setters, comStatus(), extensionsReached(), guardianState()
// and holdSilent() may be called from any thread at any time; start, stop and
// close are serialised among themselves (controlMutex_). Beside them the
// device's own threads: the transfer loop (from start() until the stop has
// sent its zeros), the first guardian's start (see Guarding) and the
// fatal-signal handler of whichever thread dies (emergency_, with the zeros
// the loop keeps ready). Statuses are the FTLIB_ERR_* codes of ftmsclib.h.
class Device {
public:
    // Opens `name` for this process alone and identifies the controller: a
    // serial port (a ROBO TX), or a TXT's address ("192.168.7.2",
    // "host:port"). Takes at most the link's LinkSettings::openBudget,
    // whatever the device claims. nullptr with `status` set on failure.
    // `guarded`: while the transfer runs, guardian processes set the outputs
    // to 0 however the process ends (see guardian.h).
    static std::unique_ptr<Device> open(const std::string &name, const std::string &canonicalName,
                                        std::uint32_t &status, bool guarded = false);
    virtual ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    const std::string &path() const { return path_; }
    const std::string &canonicalPath() const { return canonicalPath_; }
    // False in a child the opener forked without exec: what it inherited of
    // the device (the port, the guardians' sockets and memory) is the
    // parent's, and its exit must leave them alone.
    bool openedHere() const;
    // Valid after open; not changed afterwards.
    const Identity &identity() const { return identity_; }
    // The same for the whole life of the device, also after a loss.
    virtual DeviceKind kind() const = 0;

    // Starts the loop: configuration of every controller in use, then
    // exchanges.
    std::uint32_t start();
    // Sends one exchange with every output at 0 and ends the loop; returns
    // within (maxTimeouts + 1) reply timeouts. The stored duties become 0.
    // Every controller given a duty other than 0 since the open gets its
    // zeros, also an extension the transfer no longer reaches.
    std::uint32_t stop();
    // Stops if needed and releases the port. The object stays valid (and
    // every later call fails cleanly) until the last reference goes.
    void close();

    std::uint32_t setMotorConfig(int ta, int motor, bool motorMode);
    // Stores the raw channel value (clamped to 512) and wakes the loop; never
    // waits for I/O. For an extension the transfer does not reach (off the
    // bus, or its exchanges unanswered) the value is kept for when it comes,
    // the extension is sent zeros if it was driven before, and the answer is
    // FTLIB_ERR_NO_SUCH_DEVICE_INSTANCE.
    std::uint32_t setDuty(int ta, int output, int duty);
    // The inputs (bit n-1 = In) that stop `output` of controller `ta` while
    // one of them reads closed; 0 clears. Kept until changed or the close;
    // never waits for I/O. FTLIB_ERR_INVALID_PARAM for indices or inputs out
    // of range, else comStatus().
    std::uint32_t setEndSwitches(int ta, int output, unsigned inputs);
    // Controller `ta`'s inputs as the running (or last) transfer's last
    // answer reported them; any thread. FTLIB_ERR_INVALID_PARAM for `ta` out
    // of range, else comStatus().
    std::uint32_t inputState(int ta, InputState &state) const;
    std::uint32_t comStatus() const;
    // The extensions the transfer reaches (bit k-1 = extension k).
    unsigned extensionsReached() const { return extensionsInUse(); }
    // Diagnostics (kavrik-txprobe): the running loop sends nothing new for
    // `duration`, without zeros first, to see what the controller does when
    // the host goes quiet. A stop still sends its zeros at once.
    void holdSilent(std::chrono::milliseconds duration);
    // How the outputs are guarded against the program's death, in words:
    // "watching (pid N)", or why there is no guardian.
    std::string guardianState() const { return guarding_.state(); }

protected:
    using Clock = Transport::Clock;
    using Duties = std::array<std::int16_t, protocol::kOutputs>;
    using MotorModes = std::array<std::uint8_t, protocol::kMotors>;
    // Per output, the inputs that are its end switches (bit n-1 = In).
    using EndSwitches = std::array<std::uint8_t, protocol::kOutputs>;
    // What one answer reported of a controller's inputs.
    struct Inputs {
        std::array<std::int16_t, protocol::kInputs> universal{};
        std::array<std::int16_t, protocol::kCounters> counter{};
        bool answered = false;
    };
    // One controller's part of an answer, as a session decoded it.
    struct InputReport {
        int ta = 0;
        Inputs inputs;
    };

    // The transfer area as the setters left it, copied for the loop; with
    // the inputs the answers reported, which the exchanges' outputs follow.
    struct Area {
        std::array<Duties, protocol::kTaCount> duty{};
        std::array<MotorModes, protocol::kTaCount> motorMode{};
        std::array<EndSwitches, protocol::kTaCount> endSwitches{};
        std::array<Inputs, protocol::kTaCount> inputs{};
        std::array<unsigned, protocol::kTaCount> configGeneration{};
        unsigned outputGeneration = 0;
        bool stopRequested = false;
        Clock::time_point silentUntil{};
    };
    // How the link went: the controller fell silent (it may still hear an
    // all-zero exchange), or the port itself is gone (hang-up, failed write,
    // a connection closed or reset).
    // Or what came was no answer at all (FTLIB_ERR_INIT_COM).
    enum class Loss { Silence, PortGone, Garbled };

    Device(const std::string &path, const std::string &canonicalPath, const LinkSettings &settings);
    // The wake-up descriptor; false with `status` set when there is none.
    bool ready(std::uint32_t &status);
    // Takes the opened transport; with `guarded`, the first guardian starts
    // beside the open's return.
    void attach(std::unique_ptr<Transport> transport, bool guarded);
    void startGuarding(int portFd) { guarding_.startFirst(portFd); }

    // A new transport for the next transfer (a TXT connects anew for each);
    // the guardians holding the old one are dismissed, new ones follow.
    void replaceTransport(std::unique_ptr<Transport> transport);

    // The session's part. prepare() runs on the loop's thread before the
    // guardians are taken over: false when the link is lost. transfer() runs on the loop's thread until the
    // stop's zeros are answered or the link is lost (loseLink).
    virtual bool prepare() { return true; }
    virtual void transfer() = 0;
    // The bytes the fatal-signal handler and the guardian write: every
    // output at 0, in the session's framing, as they would go out next.
    virtual std::vector<std::uint8_t> lastZeros() const = 0;
    // The extensions the transfer reaches now (bit k-1 = extension k).
    virtual unsigned extensionsInUse() const = 0;
    // Records the last zeros written as the link is given up, where the
    // trace shows every frame.
    virtual void traceZeros(const std::vector<std::uint8_t> &) const {}
    // After the last zeros of a lost link: ends the conversation for the
    // device as well, where it has one to end (a TXT's connection).
    virtual void endConversation() {}

    // For the sessions, on the loop's thread.
    Area area() const;
    // A motor whose both channels are held is sent stopped: both directions
    // at once are undefined on the device, but the program may hold both
    // keys, so the stored channels keep their values for when one is released.
    // An output whose end switch reads closed is sent 0, and so is one with
    // end switches before an answer of this transfer has shown them.
    static Duties wireDuties(const Area &area, int ta);
    // Controller `ta`'s end switches (bit n-1 = In), those of them that
    // read closed, and the outputs they block (bit o).
    static unsigned switchInputs(const Area &area, int ta);
    static unsigned closedSwitches(const Area &area, int ta);
    static unsigned blockedOutputs(const Area &area, int ta);
    // Each answered exchange's inputs, on the loop's thread: kept for
    // inputState(), and an output whose switches this answer closes or
    // opens is sent anew in the next exchange, at once.
    void inputsAnswered(const std::vector<InputReport> &reports);
    // Controllers (bit ta) given a duty other than 0 since the open, and
    // those of them out of reach that are owed an exchange of zeros.
    unsigned drivenTas() const { return drivenTas_; }
    unsigned takeOwedZeros() { return owedZeros_.exchange(0); }
    void oweZeros(unsigned tas) { owedZeros_ |= tas; }
    // Writes within `timeout`, unless a fatal signal is being handled.
    bool sendBytes(const std::vector<std::uint8_t> &bytes, std::chrono::milliseconds timeout);
    // Waits on the port until `deadline`; a wake-up from a setter, or news
    // from the guardian, comes back as Woken after the guardian was seen to.
    Transport::Wake waitPort(Clock::time_point deadline);
    // The same, but false, with the link lost, when the wait itself failed.
    bool awaitPort(Clock::time_point deadline, Transport::Wake &wake);
    // After each request: the zeros kept ready follow it.
    void publishZeros();
    // A link on which no request may overtake the answer to the one before
    // (TCP): what the guardians and the fatal-signal handler need to know
    // to keep to that as the program dies (see Guarding).
    Guarding &guarding() { return guarding_; }
    // The loss rule, the same for every session: a reply answered...
    void replyAnswered() { timeouts_ = 0; }
    // ...or missed: false once maxTimeouts have been missed in a row, the
    // link then lost.
    bool replyMissed(std::uint32_t command);
    // Traces why, writes the last zeros once more (unanswered, with a short
    // bound) and marks the link lost; comStatus() tells the kinds apart.
    void loseLink(const char *why, int sysError, Loss loss);

    Transport &transport() const { return *transport_; }
    const LinkSettings &settings() const { return settings_; }
    // Written by the open only.
    Identity identity_;

private:
    void loop();

    const std::string path_;
    const std::string canonicalPath_;
    const long opener_;
    const LinkSettings settings_;
    // Any thread wakes the loop through it.
    WakeSignal wake_;

    // Guarded by mutex_: the transfer area as the setters left it.
    mutable std::mutex mutex_;
    Area area_;

    std::atomic<bool> lost_{false};
    // What comStatus() says once lost_ is set.
    std::atomic<std::uint32_t> lostStatus_{0};
    std::atomic<bool> closed_{false};
    // The loop's: reply timeouts in a row.
    int timeouts_ = 0;
    std::atomic<unsigned> drivenTas_{0};
    std::atomic<unsigned> owedZeros_{0};

    // Owned by the opening thread, then by the loop while it runs, then by
    // the close; the guardian's start reads only its descriptor, which stays
    // as it is until the close; any thread may read its clock.
    std::unique_ptr<Transport> transport_;
    // Armed by the loop with the zeros it keeps current; the fatal-signal
    // handler writes them on whichever thread dies.
    EmergencyStop emergency_;
    Guarding guarding_;

    // Serialises start, stop and close.
    std::mutex controlMutex_;
    // The transfer loop.
    std::thread thread_;
};

} // namespace ftlib
