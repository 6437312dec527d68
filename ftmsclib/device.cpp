// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/trace.h"
#include "protocol/console.h"

namespace ftlib {

using std::chrono::milliseconds;
using protocol::Frame;
using protocol::ReplyMatch;

namespace {

using Clock = std::chrono::steady_clock;

int pollTimeout(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(std::min<long long>(left.count(), 60000)) : 0;
}

bool envFlag(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value && std::strcmp(value, "0") != 0;
}

// A duration override: a whole number of milliseconds within the bounds.
void envMilliseconds(const char *name, long long low, long long high, const std::string &port, milliseconds &value)
{
    const char *text = std::getenv(name);
    if (!text || !*text)
        return;
    char *end = nullptr;
    errno = 0;
    const long long ms = std::strtoll(text, &end, 10);
    if (*text < '0' || *text > '9' || *end || errno == ERANGE || ms < low || ms > high) {
        trace(port, "%s=%s ignored: not a whole number of milliseconds from %lld to %lld", name, text, low, high);
        return;
    }
    value = milliseconds(ms);
}

bool bluetoothName(const std::string &path)
{
    const std::string name = path.substr(path.find_last_of('/') + 1);
    return name.rfind("rfcomm", 0) == 0;
}

std::string versionText(const std::array<std::uint8_t, 4> &v)
{
    char text[32];
    std::snprintf(text, sizeof text, "V %u.%02u, DLL %u", v[2], v[3], v[1]);
    return text;
}

} // namespace

LinkSettings LinkSettings::forPort(const std::string &path, const std::string &canonicalPath)
{
    LinkSettings settings;
    if (bluetoothName(path) || bluetoothName(canonicalPath)) {
        // 38400 baud on the air: a request and its reply alone take ~40 ms.
        settings.replyTimeout = milliseconds(1000);
        settings.cycle = milliseconds(50);
        settings.echoWindow = milliseconds(10000);
    }
    envMilliseconds("KAVRIK_FTLIB_REPLY_TIMEOUT_MS", 10, 60000, path, settings.replyTimeout);
    envMilliseconds("KAVRIK_FTLIB_CYCLE_MS", 1, 10000, path, settings.cycle);
    settings.cycleOnly = envFlag("KAVRIK_FTLIB_CYCLE_ONLY");
    if (const char *value = std::getenv("KAVRIK_FTLIB_EXTENSIONS"); value && std::strcmp(value, "0") == 0)
        settings.extensions = false;
    return settings;
}

std::unique_ptr<Device> Device::open(const std::string &path, const std::string &canonicalPath, std::uint32_t &status,
                                     bool guarded)
{
    loadTraceSettings();
    std::unique_ptr<Device> device(new Device);
    device->path_ = path;
    device->canonicalPath_ = canonicalPath;
    device->settings_ = LinkSettings::forPort(path, canonicalPath);
    for (auto &modes : device->motorMode_)
        modes.fill(1);
    if (traceFrames()) {
        device->decoder_.setRejectObserver([port = path](protocol::DecodeError error, const std::uint8_t *data, std::size_t size) {
            TraceRecord record;
            record.event = TraceEvent::Rejected;
            record.port = port;
            record.text = protocol::decodeErrorText(error);
            record.bytes.assign(data, data + size);
            traceRecord(std::move(record));
        });
    }

    device->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (device->wakeFd_ < 0) {
        traceError(path, errno, "eventfd");
        status = FTLIB_ERR_FAILED;
        return nullptr;
    }
    int sysError = 0;
    switch (device->port_.open(path, sysError)) {
    case PortError::None:
        break;
    case PortError::AccessDenied:
        traceError(path, sysError,
                   "access denied; add the user to the group that owns the port, usually 'dialout' (sudo usermod "
                   "-aG dialout $USER, then log in again)");
        status = FTLIB_ERR_ACCESS_DENIED;
        return nullptr;
    case PortError::Busy: {
        const std::string holders = portHolders(canonicalPath);
        traceError(path, sysError,
                   "the port is in use%s%s; is another Kavrik or kavrik-txprobe connected to it, or is ModemManager "
                   "probing it (the installed udev rule keeps ModemManager away from a ROBO TX)?",
                   holders.empty() ? "" : " by ", holders.c_str());
        status = FTLIB_ERR_DEVICE_IS_OPEN;
        return nullptr;
    }
    default:
        traceError(path, sysError, "cannot open");
        status = FTLIB_ERR_OPEN_COM;
        return nullptr;
    }
    trace(path, "opened; replies awaited %lld ms, a cycle every %lld ms%s", static_cast<long long>(device->settings_.replyTimeout.count()),
          static_cast<long long>(device->settings_.cycle.count()), device->settings_.extensions ? "" : ", extensions off");
    status = device->identify();
    if (status != FTLIB_ERR_SUCCESS)
        return nullptr;
    std::string why;
    if (guarded && !device->guardian_.start(device->port_.fd(), why))
        traceError(path, 0, "no guardian (%s): outputs stay as they are if the program is killed", why.c_str());
    return device;
}

Device::~Device()
{
    close();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

bool Device::send(const Frame &frame, milliseconds timeout)
{
    const std::vector<std::uint8_t> bytes = protocol::encodeFrame(frame);
    traceSent(frame, bytes);
    if (!emergency_.beginWrite())
        return false;
    const bool written = port_.writeAll(bytes.data(), bytes.size(), timeout);
    emergency_.endWrite();
    return written;
}

void Device::traceSent(const Frame &frame, const std::vector<std::uint8_t> &bytes) const
{
    if (!traceFrames())
        return;
    TraceRecord record;
    record.event = TraceEvent::Sent;
    record.port = path_;
    record.command = frame.command;
    record.tid = frame.tid;
    char text[96];
    std::snprintf(text, sizeof text, "cmd %u tid %u sid %u", frame.command, frame.tid, frame.sid);
    record.text = text;
    record.bytes = bytes;
    traceRecord(std::move(record));
}

void Device::traceReceived(const std::uint8_t *data, std::size_t size) const
{
    if (!traceFrames())
        return;
    TraceRecord record;
    record.event = TraceEvent::Received;
    record.port = path_;
    record.text = std::to_string(size) + " bytes";
    record.bytes.assign(data, data + size);
    traceRecord(std::move(record));
}

void Device::traceReply(const Frame &frame, ReplyMatch match) const
{
    // A wrong command under the right TID means the device speaks otherwise
    // than assumed: shown with its bytes at every trace level.
    if (match != ReplyMatch::WrongCommand && !traceFrames())
        return;
    TraceRecord record;
    record.event = TraceEvent::Frame;
    record.port = path_;
    record.command = frame.command;
    record.tid = frame.tid;
    char text[160];
    switch (match) {
    case ReplyMatch::Answer:
        record.verdict = FrameVerdict::Answer;
        std::snprintf(text, sizeof text, "cmd %u tid %u sid %u: answer", frame.command, frame.tid, frame.sid);
        break;
    case ReplyMatch::Stale:
        record.verdict = FrameVerdict::Stale;
        std::snprintf(text, sizeof text, "cmd %u tid %u sid %u: stale, not the outstanding tid %u", frame.command,
                      frame.tid, frame.sid, session_.outstanding() ? session_.tid() : 0);
        break;
    case ReplyMatch::WrongCommand:
        record.verdict = FrameVerdict::WrongCommand;
        std::snprintf(text, sizeof text, "cmd %u tid %u sid %u: wrong command, request %u expects %u", frame.command,
                      frame.tid, frame.sid, session_.command(), session_.command() + protocol::kReplyOffset);
        break;
    }
    record.text = text;
    record.bytes = protocol::encodeFrame(frame);
    traceRecord(std::move(record));
}

Device::Outcome Device::transact(std::uint32_t command, const std::vector<std::uint8_t> &payload, Frame &reply,
                                 int attempts, bool newSession, Clock::time_point keepTrying)
{
    for (int attempt = 0; attempt < attempts || Clock::now() < keepTrying; ++attempt) {
        // A repeated echo must still say "new session" (TID 1, SID 0).
        if (newSession)
            session_.restart();
        const Frame request = session_.request(command, 1, payload);
        if (!send(request, settings_.replyTimeout)) {
            traceError(path_, port_.lastError(), "cannot write command %u", command);
            return Outcome::PortFailed;
        }
        const auto deadline = Clock::now() + settings_.replyTimeout;
        while (Clock::now() < deadline) {
            if (!port_.waitReadable(milliseconds(pollTimeout(deadline))))
                break;
            std::uint8_t buffer[512];
            std::size_t got = 0;
            if (port_.read(buffer, sizeof buffer, got) == ReadResult::Closed) {
                traceError(path_, port_.lastError(), "the port closed while waiting for the answer to command %u", command);
                return Outcome::PortFailed;
            }
            traceReceived(buffer, got);
            decoder_.feed(buffer, got);
            while (decoder_.next(reply)) {
                const ReplyMatch match = session_.match(reply);
                traceReply(reply, match);
                if (match == ReplyMatch::Answer)
                    return Outcome::Answer;
                if (match == ReplyMatch::WrongCommand)
                    return Outcome::WrongCommand;
            }
        }
        decoder_.reset();
        trace(path_, "no answer to command %u within %lld ms (attempt %d)", command,
              static_cast<long long>(settings_.replyTimeout.count()), attempt + 1);
    }
    return Outcome::NoAnswer;
}

void Device::readConsole()
{
    const std::vector<std::uint8_t> probe = protocol::consoleProbe();
    if (traceFrames()) {
        TraceRecord record;
        record.event = TraceEvent::Sent;
        record.port = path_;
        record.text = "console probe";
        record.bytes = probe;
        traceRecord(std::move(record));
    }
    if (!port_.writeAll(probe.data(), probe.size(), settings_.replyTimeout)) {
        traceError(path_, port_.lastError(), "cannot write the console probe");
        return;
    }
    protocol::ConsoleAnswerParser console;
    std::vector<std::uint8_t> seen;
    const auto deadline = Clock::now() + settings_.probeTimeout;
    while (!console.finished() && Clock::now() < deadline) {
        if (!port_.waitReadable(milliseconds(pollTimeout(deadline))))
            break;
        std::uint8_t buffer[256];
        std::size_t got = 0;
        // A closed port shows at the echo, which must be answered.
        if (port_.read(buffer, sizeof buffer, got) == ReadResult::Closed)
            break;
        console.feed(buffer, got);
        if (seen.size() < 4096)
            seen.insert(seen.end(), buffer, buffer + got);
    }
    identity_.serial = console.serial();
    if (traceFrames() && !seen.empty()) {
        TraceRecord record;
        record.event = TraceEvent::Console;
        record.port = path_;
        record.text = std::to_string(seen.size()) + " bytes";
        record.bytes = seen;
        traceRecord(std::move(record));
    }
    trace(path_, "serial number %s%s", console.serial().empty() ? "unknown" : console.serial().c_str(),
          console.finished() ? "" : " (console answer incomplete)");
}

std::uint32_t Device::identify()
{
    readConsole();

    Frame reply;
    const std::vector<std::uint8_t> echo = protocol::echoPayload();
    const Clock::time_point keepTrying = settings_.echoWindow.count() > 0 ? Clock::now() + settings_.echoWindow : Clock::time_point{};
    switch (transact(protocol::kCmdEcho, echo, reply, settings_.maxTimeouts, true, keepTrying)) {
    case Outcome::Answer:
        break;
    case Outcome::NoAnswer:
        trace(path_, "no answer to the echo request");
        return FTLIB_ERR_INIT_COM_TIMEOUT;
    case Outcome::WrongCommand:
    case Outcome::PortFailed:
        return FTLIB_ERR_INIT_COM;
    }
    Frame echoRequest;
    echoRequest.items = 1;
    echoRequest.payload = echo;
    identity_.echo = protocol::classifyEcho(echoRequest, reply);
    if (identity_.echo == protocol::EchoReply::Other)
        trace(path_, "echo reply with unexpected payload (%zu bytes), accepted", reply.payload.size());

    // Information and status are only informative: one try each, and a
    // controller that keeps quiet is driven as a Master alone.
    std::vector<std::uint8_t> ta0;
    protocol::appendTaId(ta0, 0);
    switch (transact(protocol::kCmdInfo, ta0, reply, 1, false)) {
    case Outcome::Answer:
        identity_.infoAnswered = true;
        if (protocol::readInfo(reply, identity_.info))
            trace(path_, "controller \"%s\", firmware %s, session %u", identity_.info.name.c_str(),
                  versionText(identity_.info.firmwareVersion).c_str(), session_.sid());
        else
            trace(path_, "information reply not understood (%zu bytes), carrying on", reply.payload.size());
        break;
    case Outcome::NoAnswer:
        trace(path_, "no answer to the information request; carrying on without name and firmware");
        break;
    case Outcome::WrongCommand:
    case Outcome::PortFailed:
        return FTLIB_ERR_INIT_COM;
    }

    if (!settings_.extensions) {
        statePolling_ = false;
        trace(path_, "extensions off (KAVRIK_FTLIB_EXTENSIONS=0): the Master alone");
        return FTLIB_ERR_SUCCESS;
    }
    switch (transact(protocol::kCmdState, ta0, reply, 1, false)) {
    case Outcome::Answer:
        identity_.stateAnswered = true;
        if (!protocol::readOnlineExtensions(reply, onlineExtensions_))
            trace(path_, "status reply not understood (%zu bytes), carrying on with the Master alone", reply.payload.size());
        break;
    case Outcome::NoAnswer:
        statePolling_ = false;
        trace(path_, "no answer to the status request; the Master alone, and no more status requests");
        break;
    case Outcome::WrongCommand:
    case Outcome::PortFailed:
        return FTLIB_ERR_INIT_COM;
    }
    identity_.onlineExtensions = onlineExtensions_;
    for (int k = 1; k <= protocol::kMaxExtensions; ++k) {
        if (!(onlineExtensions_ & (1u << (k - 1))))
            continue;
        std::vector<std::uint8_t> taK;
        protocol::appendTaId(taK, static_cast<std::uint32_t>(k));
        protocol::TaInfo info;
        const Outcome outcome = transact(protocol::kCmdInfo, taK, reply, 1, false);
        if (outcome == Outcome::WrongCommand || outcome == Outcome::PortFailed)
            return FTLIB_ERR_INIT_COM;
        if (outcome == Outcome::Answer && protocol::readInfo(reply, info))
            trace(path_, "extension %d \"%s\"", k, info.name.c_str());
        else
            trace(path_, "extension %d online", k);
    }
    return FTLIB_ERR_SUCCESS;
}

void Device::wake()
{
    const std::uint64_t one = 1;
    // Non-blocking; a full counter already means "wake up".
    ssize_t n;
    do {
        n = ::write(wakeFd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void Device::drainWake()
{
    std::uint64_t value = 0;
    ssize_t n;
    do {
        n = ::read(wakeFd_, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
}

std::uint32_t Device::start()
{
    std::lock_guard<std::mutex> control(controlMutex_);
    if (closed_)
        return FTLIB_ERR_DEVICE_NOT_OPEN;
    if (lost_)
        return FTLIB_ERR_TIMEOUT_TA;
    if (thread_.joinable())
        return FTLIB_ERR_THREAD_IS_RUNNING;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = false;
        silentUntil_ = {};
    }
    drainWake();
    EmergencyStop::installHandlers();
    try {
        thread_ = std::thread(&Device::loop, this);
    } catch (...) {
        return FTLIB_ERR_THREAD_NOT_STARTABLE;
    }
    trace(path_, "transfer started");
    return FTLIB_ERR_SUCCESS;
}

std::uint32_t Device::stop()
{
    std::lock_guard<std::mutex> control(controlMutex_);
    if (!thread_.joinable())
        return closed_ ? FTLIB_ERR_DEVICE_NOT_OPEN : lost_ ? FTLIB_ERR_TIMEOUT_TA : FTLIB_ERR_THREAD_NOT_RUNNING;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    wake();
    thread_.join();
    {
        // A later start must not drive the motors again by surprise.
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = false;
        for (auto &duties : duty_)
            duties.fill(0);
        ++outputGeneration_;
    }
    trace(path_, "transfer stopped");
    return lost_ ? FTLIB_ERR_TIMEOUT_TA : FTLIB_ERR_SUCCESS;
}

void Device::close()
{
    stop();
    std::lock_guard<std::mutex> control(controlMutex_);
    if (closed_.exchange(true))
        return;
    // A fatal-signal handler may be writing to the port: its number must not
    // be reused. The process is ending anyway.
    if (EmergencyStop::dying()) {
        port_.abandon();
    } else {
        // The guardian holds the port as well: it ends first.
        {
            std::lock_guard<std::mutex> lock(mutex_);
            guardian_.dismiss();
        }
        port_.close();
    }
}

std::uint32_t Device::setMotorConfig(int ta, int motor, bool motorMode)
{
    if (ta < 0 || ta >= protocol::kTaCount || motor < 0 || motor >= protocol::kMotors)
        return FTLIB_ERR_INVALID_PARAM;
    if (closed_)
        return FTLIB_ERR_DEVICE_NOT_OPEN;
    if (lost_)
        return FTLIB_ERR_TIMEOUT_TA;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto &mode = motorMode_[static_cast<std::size_t>(ta)][static_cast<std::size_t>(motor)];
        const std::uint8_t wanted = motorMode ? 1 : 0;
        if (mode != wanted) {
            mode = wanted;
            ++configGeneration_[static_cast<std::size_t>(ta)];
            changed = true;
        }
    }
    if (changed)
        wake();
    return FTLIB_ERR_SUCCESS;
}

std::uint32_t Device::setDuty(int ta, int output, int duty)
{
    if (ta < 0 || ta >= protocol::kTaCount || output < 0 || output >= protocol::kOutputs || duty < 0)
        return FTLIB_ERR_INVALID_PARAM;
    if (closed_)
        return FTLIB_ERR_DEVICE_NOT_OPEN;
    if (lost_)
        return FTLIB_ERR_TIMEOUT_TA;
    const auto value = static_cast<std::int16_t>(std::min(duty, protocol::kDutyMax));
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto &stored = duty_[static_cast<std::size_t>(ta)][static_cast<std::size_t>(output)];
        if (stored != value) {
            stored = value;
            ++outputGeneration_;
            changed = true;
            if (value != 0)
                guardian_.outputDriven();
        }
    }
    if (changed)
        wake();
    return FTLIB_ERR_SUCCESS;
}

std::uint32_t Device::comStatus() const
{
    if (lost_)
        return FTLIB_ERR_TIMEOUT_TA;
    if (closed_)
        return FTLIB_ERR_DEVICE_NOT_OPEN;
    return FTLIB_ERR_SUCCESS;
}

void Device::holdSilent(milliseconds duration)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        silentUntil_ = Clock::now() + duration;
    }
    wake();
}

unsigned Device::extensionsInUse() const
{
    return settings_.extensions && !masterOnly_ ? onlineExtensions_ : 0;
}

protocol::TaOutput Device::wireOutputs(int ta) const
{
    protocol::TaOutput out;
    const auto &duty = duty_[static_cast<std::size_t>(ta)];
    const auto &modes = motorMode_[static_cast<std::size_t>(ta)];
    for (std::size_t m = 0; m < protocol::kMotors; ++m) {
        const std::int16_t a = duty[2 * m], b = duty[2 * m + 1];
        // Both directions of one motor at once are undefined on the device;
        // the program may hold both keys, so such a motor is sent stopped
        // while the channels keep their values for when one is released.
        if (modes[m] && a > 0 && b > 0)
            continue;
        out.duty[2 * m] = a;
        out.duty[2 * m + 1] = b;
    }
    return out;
}

protocol::TaConfig Device::config(int ta) const
{
    protocol::TaConfig config;
    config.motor = motorMode_[static_cast<std::size_t>(ta)];
    config.input.fill(protocol::kInputDigital5k);
    return config;
}

std::vector<std::uint8_t> Device::zeroOutputs(std::uint32_t &count) const
{
    std::vector<std::uint8_t> payload;
    count = 0;
    const unsigned inUse = extensionsInUse();
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        if (ta == 0 || (inUse & (1u << (ta - 1)))) {
            protocol::appendTa(payload, static_cast<std::uint32_t>(ta), protocol::TaOutput{});
            ++count;
        }
    }
    return payload;
}

void Device::sendZerosUnanswered()
{
    std::uint32_t count = 0;
    std::vector<std::uint8_t> payload = zeroOutputs(count);
    if (!send(session_.request(protocol::kCmdExchange, count, std::move(payload)), settings_.lastZerosWrite))
        traceError(path_, port_.lastError(), "the zero exchange could not be written");
}

std::vector<std::uint8_t> Device::preparedZeros() const
{
    // A copy, so that the loop's own next request keeps its transaction id.
    protocol::Session next = session_;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> payload = zeroOutputs(count);
    return protocol::encodeFrame(next.request(protocol::kCmdExchange, count, std::move(payload)));
}

namespace {
constexpr unsigned kNeverSent = ~0u;
} // namespace

void Device::loop()
{
    LoopState s;
    s.ackedConfig.fill(kNeverSent);
    s.sentOutputs = kNeverSent;
    const auto now = Clock::now();
    s.deadline = now;
    s.nextCycle = now;
    s.nextStatePoll = statePolling_ ? now + settings_.statePoll : Clock::time_point::max();
    s.idleUntil = now;
    try {
        const std::vector<std::uint8_t> zeros = preparedZeros();
        emergency_.arm(port_.fd(), zeros);
        guardian_.publish(zeros);
        guardian_.setLive(true);
        for (;;) {
            if (s.pending == Pending::None) {
                Request request;
                if (!chooseRequest(s, request))
                    break;
                if (request.kind != Pending::None && !sendRequest(s, request))
                    break;
            }
            if (!readPort(s))
                break;
            matchReplies(s);
            if (!countTimeout(s))
                break;
        }
    } catch (...) {
        // Nothing may escape the thread (std::terminate would end the
        // program): an allocation failure loses the link like silence does.
        try {
            giveUp("internal failure (out of memory?)");
        } catch (...) {
            lost_ = true;
        }
    }
    emergency_.disarm();
    guardian_.setLive(false);
}

bool Device::chooseRequest(LoopState &s, Request &request)
{
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopRequested_ && s.zeroDone)
        return false;
    const unsigned inUse = extensionsInUse();
    const auto used = [inUse](int ta) { return ta == 0 || (inUse & (1u << (ta - 1))); };
    if (stopRequested_) {
        // Motors are never left driven: the last exchange carries zeros.
        request.kind = Pending::Zero;
        request.command = protocol::kCmdExchange;
        request.payload = zeroOutputs(request.count);
        request.namesExtensions = request.count > 1;
        return true;
    }
    if (now < silentUntil_) {
        s.idleUntil = silentUntil_;
        return true;
    }
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        const auto t = static_cast<std::size_t>(ta);
        if (used(ta) && s.ackedConfig[t] != configGeneration_[t]) {
            // Configuration goes first: outputs are only driven once the
            // controller knows which pairs form motors.
            request.kind = Pending::Config;
            request.command = protocol::kCmdConfig;
            protocol::appendTa(request.payload, static_cast<std::uint32_t>(ta), config(ta));
            request.count = 1;
            request.ta = ta;
            request.config = configGeneration_[t];
            return true;
        }
    }
    if (now >= s.nextStatePoll) {
        request.kind = Pending::State;
        request.command = protocol::kCmdState;
        protocol::appendTaId(request.payload, 0);
        request.count = 1;
        s.nextStatePoll = now + settings_.statePoll;
        return true;
    }
    if (now >= s.nextCycle || (!settings_.cycleOnly && outputGeneration_ != s.sentOutputs)) {
        request.kind = Pending::Exchange;
        request.command = protocol::kCmdExchange;
        for (int ta = 0; ta < protocol::kTaCount; ++ta) {
            if (used(ta)) {
                protocol::appendTa(request.payload, static_cast<std::uint32_t>(ta), wireOutputs(ta));
                ++request.count;
            }
        }
        request.namesExtensions = request.count > 1;
        s.sentOutputs = outputGeneration_;
        s.nextCycle = now + settings_.cycle;
        return true;
    }
    s.idleUntil = std::min(s.nextCycle, s.nextStatePoll);
    return true;
}

bool Device::sendRequest(LoopState &s, Request &request)
{
    if (!send(session_.request(request.command, request.count, std::move(request.payload)), settings_.replyTimeout)) {
        // No zeros to send either: the port takes no writes.
        traceError(path_, port_.lastError(), "write failed, link lost");
        lost_ = true;
        return false;
    }
    s.pending = request.kind;
    s.pendingTa = request.ta;
    s.pendingConfig = request.config;
    s.pendingNamesExtensions = request.namesExtensions;
    s.deadline = Clock::now() + settings_.replyTimeout;
    const std::vector<std::uint8_t> zeros = preparedZeros();
    emergency_.publish(zeros);
    guardian_.publish(zeros);
    return true;
}

bool Device::readPort(LoopState &s)
{
    const int timeout = pollTimeout(s.pending != Pending::None ? s.deadline : s.idleUntil);
    pollfd fds[2] = {{port_.fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) {
        traceError(path_, errno, "poll failed");
        giveUp("cannot wait on the port");
        return false;
    }
    if (ready > 0 && (fds[1].revents & POLLIN))
        drainWake();
    if (ready <= 0 || !fds[0].revents)
        return true;
    std::uint8_t buffer[1024];
    std::size_t got = 0;
    ReadResult result;
    // A short read means the tty is drained; saves one EAGAIN read per reply.
    while ((result = port_.read(buffer, sizeof buffer, got)) == ReadResult::Data) {
        traceReceived(buffer, got);
        decoder_.feed(buffer, got);
        if (got < sizeof buffer)
            break;
    }
    // A hang-up is reported at once rather than after three timeouts.
    // Nothing can be sent to a port that has hung up, so no zeros.
    if (result == ReadResult::Closed || (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
        if (result == ReadResult::Closed && port_.lastError() == 0)
            trace(path_, "device hung up (end of file), link lost");
        else
            traceError(path_, result == ReadResult::Closed ? port_.lastError() : EIO, "device hung up, link lost");
        lost_ = true;
        return false;
    }
    return true;
}

void Device::matchReplies(LoopState &s)
{
    Frame reply;
    while (s.pending != Pending::None && decoder_.next(reply)) {
        const ReplyMatch match = session_.match(reply);
        traceReply(reply, match);
        // A wrong command is waited past like a stale reply: the timeout
        // that follows decides.
        if (match != ReplyMatch::Answer)
            continue;
        s.timeouts = 0;
        switch (s.pending) {
        case Pending::Config:
            s.ackedConfig[static_cast<std::size_t>(s.pendingTa)] = s.pendingConfig;
            break;
        case Pending::Zero:
            s.zeroDone = true;
            break;
        case Pending::Exchange:
            if (s.pendingNamesExtensions)
                s.extensionTimeouts = 0;
            break;
        case Pending::State:
            if (unsigned online = 0; protocol::readOnlineExtensions(reply, online) && online != onlineExtensions_) {
                trace(path_, "extensions online 0x%02x", online);
                // An extension that comes back gets its configuration again.
                for (int k = 0; k < protocol::kMaxExtensions; ++k) {
                    if ((online & ~onlineExtensions_) & (1u << k))
                        s.ackedConfig[static_cast<std::size_t>(k + 1)] = kNeverSent;
                }
                onlineExtensions_ = online;
                s.sentOutputs = kNeverSent;
            }
            break;
        case Pending::None:
            break;
        }
        s.pending = Pending::None;
    }
}

bool Device::countTimeout(LoopState &s)
{
    if (s.pending == Pending::None || Clock::now() < s.deadline)
        return true;
    decoder_.reset();
    const Pending timedOut = s.pending;
    s.pending = Pending::None;
    if (timedOut == Pending::Exchange)
        s.sentOutputs = kNeverSent;
    // A controller may ignore exchanges that name an extension it does not
    // have (any more): ask for the states again, then drive the Master alone,
    // before holding it against the link. One lost reply alone costs nothing.
    if (timedOut == Pending::Exchange && s.pendingNamesExtensions) {
        if (++s.extensionTimeouts == 1) {
            trace(path_, "no answer to an exchange naming extensions; asking for their states again");
            s.nextStatePoll = Clock::now();
        } else {
            masterOnly_ = true;
            trace(path_, "exchanges naming extensions stay unanswered; the Master alone from now on");
        }
        return true;
    }
    ++s.timeouts;
    trace(path_, "reply timeout %d (command %u)", s.timeouts, session_.command());
    if (s.timeouts < settings_.maxTimeouts)
        return true;
    // A controller that still listens but no longer answers (replies lost on
    // the way back) must not keep the last duties.
    giveUp("no answer");
    return false;
}

void Device::giveUp(const char *why)
{
    trace(path_, "%s, link lost", why);
    sendZerosUnanswered();
    lost_ = true;
}

} // namespace ftlib
