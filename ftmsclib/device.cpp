#include "device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "console.h"
#include "ftmsclib.h"
#include "trace.h"

namespace ftlib {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using protocol::Frame;

namespace {

int pollTimeout(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool envFlag(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value && std::strcmp(value, "0") != 0;
}

std::string versionText(const std::array<std::uint8_t, 4> &v)
{
    char text[32];
    std::snprintf(text, sizeof text, "V %u.%02u, DLL %u", v[2], v[3], v[1]);
    return text;
}

} // namespace

std::unique_ptr<Device> Device::open(const std::string &path, const std::string &canonicalPath, std::uint32_t &status)
{
    std::unique_ptr<Device> device(new Device);
    device->path_ = path;
    device->canonicalPath_ = canonicalPath;
    if (path.rfind("/dev/rfcomm", 0) == 0) {
        // 38400 baud on the air: a request and its reply alone take ~40 ms.
        device->timing_.replyTimeout = milliseconds(1000);
        device->timing_.cycle = milliseconds(50);
    }
    device->timing_.cycleOnly = envFlag("KAVRIK_FTLIB_CYCLE_ONLY");
    for (auto &modes : device->motorMode_)
        modes.fill(1);

    device->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (device->wakeFd_ < 0) {
        status = FTLIB_ERR_FAILED;
        return nullptr;
    }
    int sysError = 0;
    switch (device->port_.open(path, sysError)) {
    case PortError::None:
        break;
    case PortError::AccessDenied:
        trace("%s: access denied (%s); add the user to the group that owns the port, usually "
              "'dialout' (sudo usermod -aG dialout $USER, then log in again)",
              path.c_str(), std::strerror(sysError));
        status = FTLIB_ERR_ACCESS_DENIED;
        return nullptr;
    default:
        trace("%s: cannot open (%s)", path.c_str(), std::strerror(sysError));
        status = FTLIB_ERR_OPEN_COM;
        return nullptr;
    }
    status = device->identify();
    if (status != FTLIB_ERR_SUCCESS)
        return nullptr;
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
    if (!emergency_.beginWrite())
        return false;
    const bool written = port_.writeAll(bytes.data(), bytes.size(), timeout);
    emergency_.endWrite();
    return written;
}

bool Device::transact(std::uint32_t command, std::vector<std::uint8_t> payload, Frame &reply, int attempts,
                      bool newSession)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        // A repeated echo must still say "new session" (TID 1, SID 0).
        if (newSession)
            session_.restart();
        const Frame request = session_.request(command, 1, payload);
        if (!send(request, timing_.replyTimeout))
            return false;
        const auto deadline = Clock::now() + timing_.replyTimeout;
        while (Clock::now() < deadline) {
            if (!port_.waitReadable(milliseconds(pollTimeout(deadline))))
                break;
            std::uint8_t buffer[512];
            std::size_t got = 0;
            if (port_.read(buffer, sizeof buffer, got) == ReadResult::Closed)
                return false;
            decoder_.feed(buffer, got);
            while (decoder_.next(reply)) {
                if (session_.accept(reply))
                    return true;
            }
        }
        decoder_.reset();
        trace("%s: no reply to command %u (attempt %d)", path_.c_str(), command, attempt + 1);
    }
    return false;
}

std::uint32_t Device::identify()
{
    const std::vector<std::uint8_t> probe = protocol::consoleProbe();
    if (!port_.writeAll(probe.data(), probe.size(), timing_.replyTimeout)) {
        trace("%s: cannot write", path_.c_str());
        return FTLIB_ERR_INIT_COM;
    }
    protocol::ConsoleAnswerParser console;
    const auto probeDeadline = Clock::now() + timing_.probeTimeout;
    while (!console.finished() && port_.waitReadable(milliseconds(pollTimeout(probeDeadline)))) {
        std::uint8_t buffer[256];
        std::size_t got = 0;
        if (port_.read(buffer, sizeof buffer, got) == ReadResult::Closed)
            return FTLIB_ERR_INIT_COM;
        console.feed(buffer, got);
        if (Clock::now() >= probeDeadline)
            break;
    }
    trace("%s: serial number %s", path_.c_str(), console.serial().empty() ? "unknown" : console.serial().c_str());

    Frame reply;
    const std::vector<std::uint8_t> echo = protocol::echoPayload();
    if (!transact(protocol::kCmdEcho, echo, reply, timing_.maxTimeouts, true)) {
        trace("%s: no answer to the echo request", path_.c_str());
        return FTLIB_ERR_INIT_COM_TIMEOUT;
    }
    Frame echoRequest;
    echoRequest.items = 1;
    echoRequest.payload = echo;
    if (protocol::classifyEcho(echoRequest, reply) == protocol::EchoReply::Other)
        trace("%s: echo reply with unexpected payload (%zu bytes), accepted", path_.c_str(), reply.payload.size());
    session_.adoptSid(reply);

    std::vector<std::uint8_t> ta0;
    protocol::appendTaId(ta0, 0);
    if (!transact(protocol::kCmdInfo, ta0, reply, timing_.maxTimeouts, false))
        return FTLIB_ERR_INIT_COM_TIMEOUT;
    protocol::TaInfo info;
    if (protocol::readInfo(reply, info))
        trace("%s: controller \"%s\", firmware %s, session %u", path_.c_str(), info.name.c_str(),
              versionText(info.firmwareVersion).c_str(), session_.sid());

    if (!transact(protocol::kCmdState, ta0, reply, timing_.maxTimeouts, false))
        return FTLIB_ERR_INIT_COM_TIMEOUT;
    protocol::readOnlineExtensions(reply, onlineExtensions_);
    for (int k = 1; k <= protocol::kMaxExtensions; ++k) {
        if (!(onlineExtensions_ & (1u << (k - 1))))
            continue;
        std::vector<std::uint8_t> taK;
        protocol::appendTaId(taK, static_cast<std::uint32_t>(k));
        // Only informative: a controller that keeps quiet here is still usable.
        if (transact(protocol::kCmdInfo, taK, reply, 1, false) && protocol::readInfo(reply, info))
            trace("%s: extension %d \"%s\"", path_.c_str(), k, info.name.c_str());
        else
            trace("%s: extension %d online", path_.c_str(), k);
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
    }
    drainWake();
    EmergencyStop::installHandlers();
    try {
        thread_ = std::thread(&Device::loop, this);
    } catch (...) {
        return FTLIB_ERR_THREAD_NOT_STARTABLE;
    }
    trace("%s: transfer started", path_.c_str());
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
    trace("%s: transfer stopped", path_.c_str());
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
    if (EmergencyStop::dying())
        port_.abandon();
    else
        port_.close();
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
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        if (ta == 0 || (onlineExtensions_ & (1u << (ta - 1)))) {
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
    if (!send(session_.request(protocol::kCmdExchange, count, std::move(payload)), timing_.lastZerosWrite))
        trace("%s: the zero exchange could not be written", path_.c_str());
}

std::vector<std::uint8_t> Device::preparedZeros() const
{
    // A copy, so that the loop's own next request keeps its transaction id.
    protocol::Session next = session_;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> payload = zeroOutputs(count);
    return protocol::encodeFrame(next.request(protocol::kCmdExchange, count, std::move(payload)));
}

void Device::loop()
{
    constexpr unsigned kNeverSent = ~0u;
    std::array<unsigned, protocol::kTaCount> ackedConfig;
    ackedConfig.fill(kNeverSent);
    unsigned sentOutputs = kNeverSent;
    Pending pending = Pending::None;
    int pendingTa = 0;
    unsigned pendingConfig = 0;
    int timeouts = 0;
    bool zeroDone = false;
    auto deadline = Clock::now();
    auto nextCycle = Clock::now();
    auto nextStatePoll = Clock::now() + timing_.statePoll;
    Frame reply;
    emergency_.arm(port_.fd(), preparedZeros());

    for (;;) {
        if (pending == Pending::None) {
            const auto now = Clock::now();
            std::unique_lock<std::mutex> lock(mutex_);
            if (stopRequested_ && zeroDone)
                break;
            int configTa = -1;
            for (int ta = 0; ta < protocol::kTaCount && configTa < 0; ++ta) {
                const bool inUse = ta == 0 || (onlineExtensions_ & (1u << (ta - 1)));
                if (inUse && ackedConfig[static_cast<std::size_t>(ta)] != configGeneration_[static_cast<std::size_t>(ta)])
                    configTa = ta;
            }
            std::vector<std::uint8_t> payload;
            std::uint32_t command = 0, count = 0;
            if (stopRequested_) {
                // Motors are never left driven: the last exchange carries zeros.
                command = protocol::kCmdExchange;
                payload = zeroOutputs(count);
                pending = Pending::Zero;
            } else if (configTa >= 0) {
                // Configuration goes first: outputs are only driven once the
                // controller knows which pairs form motors.
                command = protocol::kCmdConfig;
                protocol::appendTa(payload, static_cast<std::uint32_t>(configTa), config(configTa));
                count = 1;
                pending = Pending::Config;
                pendingTa = configTa;
                pendingConfig = configGeneration_[static_cast<std::size_t>(configTa)];
            } else if (now >= nextStatePoll) {
                command = protocol::kCmdState;
                protocol::appendTaId(payload, 0);
                count = 1;
                pending = Pending::State;
                nextStatePoll = now + timing_.statePoll;
            } else if (now >= nextCycle || (!timing_.cycleOnly && outputGeneration_ != sentOutputs)) {
                command = protocol::kCmdExchange;
                for (int ta = 0; ta < protocol::kTaCount; ++ta) {
                    if (ta == 0 || (onlineExtensions_ & (1u << (ta - 1)))) {
                        protocol::appendTa(payload, static_cast<std::uint32_t>(ta), wireOutputs(ta));
                        ++count;
                    }
                }
                sentOutputs = outputGeneration_;
                nextCycle = now + timing_.cycle;
                pending = Pending::Exchange;
            }
            lock.unlock();
            if (pending != Pending::None) {
                if (!send(session_.request(command, count, std::move(payload)), timing_.replyTimeout)) {
                    // No zeros to send either: the port takes no writes.
                    trace("%s: write failed, link lost", path_.c_str());
                    lost_ = true;
                    break;
                }
                deadline = Clock::now() + timing_.replyTimeout;
                emergency_.publish(preparedZeros());
            }
        }

        const int timeout = pollTimeout(pending != Pending::None ? deadline : std::min(nextCycle, nextStatePoll));
        pollfd fds[2] = {{port_.fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            sendZerosUnanswered();
            lost_ = true;
            break;
        }
        if (ready > 0 && (fds[1].revents & POLLIN))
            drainWake();
        if (ready > 0 && fds[0].revents) {
            std::uint8_t buffer[1024];
            std::size_t got = 0;
            ReadResult result;
            // A short read means the tty is drained; saves one EAGAIN read per reply.
            while ((result = port_.read(buffer, sizeof buffer, got)) == ReadResult::Data) {
                decoder_.feed(buffer, got);
                if (got < sizeof buffer)
                    break;
            }
            // A hang-up is reported at once rather than after three timeouts.
            // Nothing can be sent to a port that has hung up, so no zeros.
            if (result == ReadResult::Closed || (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
                trace("%s: device hung up, link lost", path_.c_str());
                lost_ = true;
                break;
            }
        }
        while (pending != Pending::None && decoder_.next(reply)) {
            if (!session_.accept(reply))
                continue;
            timeouts = 0;
            switch (pending) {
            case Pending::Config:
                ackedConfig[static_cast<std::size_t>(pendingTa)] = pendingConfig;
                break;
            case Pending::Zero:
                zeroDone = true;
                break;
            case Pending::State:
                if (unsigned online = 0; protocol::readOnlineExtensions(reply, online)) {
                    if (online != onlineExtensions_) {
                        trace("%s: extensions online 0x%02x", path_.c_str(), online);
                        // An extension that comes back gets its configuration again.
                        for (int k = 0; k < protocol::kMaxExtensions; ++k) {
                            if ((online & ~onlineExtensions_) & (1u << k))
                                ackedConfig[static_cast<std::size_t>(k + 1)] = kNeverSent;
                        }
                        onlineExtensions_ = online;
                        sentOutputs = kNeverSent;
                    }
                }
                break;
            default:
                break;
            }
            pending = Pending::None;
        }
        if (pending != Pending::None && Clock::now() >= deadline) {
            ++timeouts;
            trace("%s: reply timeout %d", path_.c_str(), timeouts);
            decoder_.reset();
            if (pending == Pending::Exchange)
                sentOutputs = kNeverSent;
            pending = Pending::None;
            if (timeouts >= timing_.maxTimeouts) {
                trace("%s: %d timeouts in a row, link lost", path_.c_str(), timeouts);
                // A controller that still listens but no longer answers
                // (replies lost on the way back) must not keep the last duties.
                sendZerosUnanswered();
                lost_ = true;
                break;
            }
        }
    }
    emergency_.disarm();
}

} // namespace ftlib
