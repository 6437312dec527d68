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
#include "ftmsclib/guardian.h"
#include "ftmsclib/linksettings.h"
#include "ftmsclib/transport.h"
#include "protocol/codec.h"
#include "protocol/session.h"
#include "protocol/transferarea.h"

// One open controller: the identification at open, the transfer area that
// the setters write, and the transfer loop that sends it in the background.
namespace ftlib {

// What the identification at open learnt.
struct Identity {
    std::string serial;
    bool infoAnswered = false;
    protocol::TaInfo info;
    bool stateAnswered = false;
    unsigned onlineExtensions = 0; // bit k-1 = extension k
    protocol::EchoReply echo = protocol::EchoReply::Empty;
};

// Threads: the setters, comStatus(), extensionsReached(), guardianState()
// and holdSilent() may be called from any thread at any time; start, stop and
// close are serialised among themselves (controlMutex_). Three threads of the
// device's own work beside them: the transfer loop (thread_, from start()
// until the stop has sent its zeros), the first guardian's start
// (firstGuardianStart_, from the open's return until the loop or the close
// joins it), and the fatal-signal handler of whichever thread dies
// (emergency_, with the frames the loop keeps ready). The members say which
// of them touch what. Statuses are the FTLIB_ERR_* codes of ftmsclib.h.
// The class is declared only here; each group of members says where it is
// defined.
class Device {
public:
    // Defined in device.cpp: the lifecycle and the setters.

    // Opens the port for this process alone and identifies the controller:
    // console probe and echo (which must be answered), then one information
    // and one status request (which may go unanswered: the Master alone is
    // driven then). Takes at most the port's LinkSettings::openBudget,
    // whatever the device claims. nullptr with `status` set on failure.
    // `guarded`: while the transfer runs, a guardian process sets the outputs
    // to 0 however the process ends (see guardian.h).
    static std::unique_ptr<Device> open(const std::string &path, const std::string &canonicalPath, std::uint32_t &status,
                                        bool guarded = false);
    // The same conversation over another transport (a test's or a fuzzer's),
    // with the given settings; never guarded.
    static std::unique_ptr<Device> openOver(std::unique_ptr<Transport> transport, const std::string &name,
                                            const LinkSettings &settings, std::uint32_t &status);
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    const std::string &path() const { return path_; }
    const std::string &canonicalPath() const { return canonicalPath_; }
    // Valid after open; not changed afterwards.
    const Identity &identity() const { return identity_; }

    // Starts the loop: configuration of every TA in use, then exchanges.
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
    std::uint32_t comStatus() const;
    // The extensions the transfer reaches (bit k-1 = extension k): online,
    // wanted and not refused.
    unsigned extensionsReached() const { return extensionsInUse(); }
    // Diagnostics (kavrik-txprobe): the running loop sends nothing new for
    // `duration`, without zeros first, to see what the controller does when
    // the host goes quiet. A stop still sends its zeros at once.
    void holdSilent(std::chrono::milliseconds duration);
    // How the outputs are guarded against the program's death, in words:
    // "watching (pid N)", or why there is no guardian.
    std::string guardianState() const;

private:
    using Clock = Transport::Clock;
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
        int timeouts = 0;
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

    // Defined in device.cpp.
    Device() = default;
    static std::unique_ptr<Device> create(const std::string &path, const std::string &canonicalPath,
                                          const LinkSettings &settings, std::uint32_t &status);
    bool send(const protocol::Frame &frame, std::chrono::milliseconds timeout);
    bool sendBytes(const std::vector<std::uint8_t> &bytes, std::chrono::milliseconds timeout);
    void wake();
    void drainWake();

    // Defined in replies.cpp: the one way replies come in, for the open and
    // the loop alike, and the one way the link is given up.
    enum class Received { Data, Nothing, Closed };
    // Reads what the transport has (until a short read), traces it and
    // feeds the decoder.
    Received receive();
    // The next whole frame from the decoder, matched against the outstanding
    // request and traced; false when more bytes are needed.
    bool nextReply(protocol::Frame &reply, protocol::ReplyMatch &match);
    // How the link went: the controller fell silent (it may still hear an
    // all-zero exchange), or the port itself is gone (hang-up, failed write).
    enum class Loss { Silence, PortGone };
    // Traces why, tries the all-zero exchanges once more, unanswered and
    // with a short bound, and marks the link lost; comStatus() tells the two
    // kinds apart.
    void loseLink(const char *why, int sysError, Loss loss);

    // Defined in identify.cpp: the conversation at open.
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
    // How long a write at open may wait for the port: a reply timeout, but
    // never beyond `until`.
    std::chrono::milliseconds writeBound(Clock::time_point until) const;
    // One try of a request to the Master, within the open's time.
    Outcome askMasterOnce(std::uint32_t command, protocol::Frame &reply);

    // Defined in transferloop.cpp: the loop and its steps; each step that
    // returns false has ended the loop (stop completed or link lost)...
    void loop();
    bool chooseRequest(LoopState &s, Request &request);
    bool sendRequest(LoopState &s, Request &request);
    bool readPort(LoopState &s);
    void matchReplies(LoopState &s);
    void takeState(LoopState &s, const protocol::Frame &reply);
    void takeReasked(LoopState &s, const protocol::Frame &reply);
    bool countTimeout(LoopState &s);
    // Extensions that drop out of reach get their zeros.
    void leaveUse(unsigned before);
    // The guardian: started once the open has succeeded (on a thread of its
    // own, so that the open does not wait for it), taken over by the loop,
    // watched while it runs, started anew when it ends.
    void takeFirstGuardian();
    void superviseGuardian();
    void startGuardian();
    // No working guardian, and why: said once, and tried again later, less
    // often each time.
    void unguarded(const std::string &why);
    void setGuardianNote(const std::string &note);
    // ...and what goes on the wire. Extension k is sent to (bit k-1):
    // online, wanted and not refused.
    unsigned extensionsInUse() const;
    // The controllers (bit 0 the Master, bit k extension k) that the zeros
    // go to: those in use, and with `driven` also those given a duty other
    // than 0 since the open.
    unsigned zeroTas(bool driven) const;
    // Payload of an exchange for the controllers `tas`, each with every
    // output at 0 or, with `wire`, with its outputs as the setters left
    // them (in use only); `count` gets the number of structures.
    std::vector<std::uint8_t> outputsPayload(unsigned tas, unsigned wire, std::uint32_t &count) const;
    // The exchanges with every output at 0 that end a transfer, with the
    // transaction ids that come next: one for the controllers in use and,
    // when there are driven ones out of reach, one naming those as well (a
    // controller may ignore an exchange naming an extension it lacks).
    std::vector<std::uint8_t> lastZeros() const;
    // The same for the fatal-signal handler and the guardian to write.
    void publishPreparedZeros();
    protocol::TaOutput wireOutputs(int ta) const;
    protocol::TaConfig config(int ta) const;

    // Written by the open only.
    std::string path_;
    std::string canonicalPath_;
    LinkSettings settings_;
    bool guarded_ = false;
    // The open ends by then, whatever the device says.
    Clock::time_point openDeadline_{};
    Identity identity_;
    // What came at open: the console's bytes and whether they were its
    // answer; then the bytes read and the whole frames among them (the
    // loop's reads go on counting). Bytes that never form a frame come from
    // something else than a controller.
    std::vector<std::uint8_t> consoleBytes_;
    bool consoleAnswered_ = false;
    std::size_t bytesReceived_ = 0;
    std::size_t framesSeen_ = 0;
    // Any thread wakes the loop through it.
    int wakeFd_ = -1;

    // Guarded by mutex_: the transfer area as the setters left it.
    mutable std::mutex mutex_;
    std::array<std::array<std::int16_t, protocol::kOutputs>, protocol::kTaCount> duty_{};
    std::array<std::array<std::uint8_t, protocol::kMotors>, protocol::kTaCount> motorMode_{};
    std::array<unsigned, protocol::kTaCount> configGeneration_{};
    unsigned outputGeneration_ = 0;
    bool stopRequested_ = false;
    Clock::time_point silentUntil_{};
    std::string guardianNote_ = "not started";

    std::atomic<bool> lost_{false};
    // What comStatus() says once lost_ is set.
    std::atomic<std::uint32_t> lostStatus_{0};
    std::atomic<bool> closed_{false};

    // Owned by the opening thread, then by the loop while it runs, then by
    // the close. The first guardian's start reads only its descriptor, which
    // stays as it is until the close; any thread may read its clock.
    std::unique_ptr<Transport> transport_;
    protocol::Session session_;
    protocol::FrameDecoder decoder_;
    // Bit k-1 = extension k; read by the setters as well.
    std::atomic<unsigned> onlineExtensions_{0};
    // The status request went unanswered at open: not asked again.
    bool statePolling_ = true;
    // The open's time was up before it was asked: the transfer asks at once.
    bool stateUnasked_ = false;
    // Extensions whose exchanges went unanswered although the controller
    // still reported them online: not driven until they answer again.
    std::atomic<unsigned> refused_{0};
    // Controllers (bit ta) given a duty other than 0 since the open...
    std::atomic<unsigned> drivenTas_{0};
    // ...and those of them out of reach that are owed an exchange of zeros.
    std::atomic<unsigned> owedZeros_{0};
    // Armed by the loop with the zeros it keeps current; the fatal-signal
    // handler writes them on whichever thread dies.
    EmergencyStop emergency_;
    // Taken over or started by the loop, replaced by it, touched by the
    // setters and the loop under mutex_; dismissed at close once the loop has
    // ended.
    Guardian guardian_;
    // The first guardian, started on a thread of its own beside the open's
    // return: the loop joins that thread as it begins and takes the guardian
    // over, or else the close joins it and dismisses the guardian.
    std::thread firstGuardianStart_;
    Guardian firstGuardian_;
    std::string firstGuardianWhy_;
    bool firstGuardianStarted_ = false;
    // The loop's: whether the current guardian said it watches, and when one
    // may be started again after one that ended.
    bool guardianReady_ = false;
    Clock::time_point nextGuardianStart_{};
    std::chrono::milliseconds guardianBackoff_{0};

    // Serialises start, stop and close.
    std::mutex controlMutex_;
    // The transfer loop.
    std::thread thread_;
};

} // namespace ftlib
