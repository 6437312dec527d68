// SPDX-License-Identifier: GPL-3.0-or-later
// The device's lifecycle and setters.
#include "ftmsclib/device.h"

#include <algorithm>
#include <cerrno>

#include <sys/eventfd.h>
#include <unistd.h>

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/serialport.h"
#include "ftmsclib/trace.h"

namespace ftlib {

using std::chrono::milliseconds;
using protocol::Frame;

namespace {

// Why the port could not be opened, for the trace, as a status.
std::uint32_t openFailure(const std::string &path, const std::string &canonicalPath, PortError error, int sysError)
{
    const std::uint32_t status = error == PortError::AccessDenied ? FTLIB_ERR_ACCESS_DENIED
        : error == PortError::Busy                                ? FTLIB_ERR_DEVICE_IS_OPEN
                                                                  : FTLIB_ERR_OPEN_COM;
    const rendezvous::PortFailure failure = rendezvous::classifyPortFailure(status, path, canonicalPath);
    switch (failure.kind) {
    case rendezvous::PortFailureKind::AccessDenied:
        traceError(path, sysError,
                   "access denied; add the user to the group that owns the port, usually 'dialout' (sudo usermod "
                   "-aG dialout $USER, then log in again)");
        break;
    case rendezvous::PortFailureKind::InUse: {
        const std::string holders = holderList(failure.holders, true);
        traceError(path, sysError,
                   "the port is in use%s%s; is another Kavrik or kavrik-txprobe connected to it, or is ModemManager "
                   "probing it (the installed udev rule keeps ModemManager away from a ROBO TX)?",
                   holders.empty() ? "" : " by ", holders.c_str());
        break;
    }
    default:
        traceError(path, sysError, "cannot open");
        break;
    }
    return status;
}

// An open that got no answer: opened before us, without taking the port for
// itself, another program may read the controller's answers away.
void traceUnanswered(const std::string &path, const std::string &canonicalPath, std::uint32_t status)
{
    const rendezvous::PortFailure failure = rendezvous::classifyPortFailure(status, path, canonicalPath);
    if (failure.kind != rendezvous::PortFailureKind::NoAnswer)
        return;
    const std::string holders = holderList(failure.holders, false);
    if (!holders.empty())
        trace(path, "the port is open in %s as well, which may take the controller's answers", holders.c_str());
}

} // namespace

std::unique_ptr<Device> Device::create(const std::string &path, const std::string &canonicalPath,
                                       const LinkSettings &settings, std::uint32_t &status)
{
    std::unique_ptr<Device> device(new Device);
    device->path_ = path;
    device->canonicalPath_ = canonicalPath;
    device->settings_ = settings;
    for (auto &modes : device->motorMode_)
        modes.fill(1);
    if (traceFrames()) {
        device->decoder_.setRejectObserver([port = path](protocol::DecodeError error, const std::uint8_t *data,
                                                         std::size_t size) { traceRejected(port, error, data, size); });
    }
    device->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (device->wakeFd_ < 0) {
        traceError(path, errno, "eventfd");
        status = FTLIB_ERR_FAILED;
        return nullptr;
    }
    return device;
}

std::unique_ptr<Device> Device::open(const std::string &path, const std::string &canonicalPath, std::uint32_t &status,
                                     bool guarded)
{
    // Before the settings, which trace the variables they ignore.
    loadTraceSettings();
    std::unique_ptr<Device> device = create(path, canonicalPath, LinkSettings::forPort(path, canonicalPath), status);
    if (!device)
        return nullptr;
    auto port = std::make_unique<SerialPort>();
    int sysError = 0;
    const PortError opened = port->open(path, sysError);
    if (opened != PortError::None) {
        status = openFailure(path, canonicalPath, opened, sysError);
        return nullptr;
    }
    device->transport_ = std::move(port);
    const LinkSettings &settings = device->settings_;
    trace(path, "opened; replies awaited %lld ms, a cycle every %lld ms%s",
          static_cast<long long>(settings.replyTimeout.count()), static_cast<long long>(settings.cycle.count()),
          settings.extensions ? "" : ", extensions off");
    status = device->identify();
    if (status != FTLIB_ERR_SUCCESS) {
        traceUnanswered(path, canonicalPath, status);
        return nullptr;
    }
    device->guarded_ = guarded;
    if (!guarded) {
        device->guardianNote_ = "none: not asked for";
        return device;
    }
    // Nothing is driven before the transfer starts, and the open does not
    // wait for the guardian: it starts beside. Without a thread for it, the
    // transfer starts one.
    try {
        Device *d = device.get();
        d->firstGuardianStart_ = std::thread([d] {
            d->firstGuardianStarted_ = d->firstGuardian_.start(d->transport_->descriptor(), d->firstGuardianWhy_);
        });
    } catch (...) {
    }
    return device;
}

std::unique_ptr<Device> Device::openOver(std::unique_ptr<Transport> transport, const std::string &name,
                                         const LinkSettings &settings, std::uint32_t &status)
{
    loadTraceSettings();
    std::unique_ptr<Device> device = create(name, name, settings, status);
    if (!device)
        return nullptr;
    device->guardianNote_ = "none: not asked for";
    device->transport_ = std::move(transport);
    status = device->identify();
    return status == FTLIB_ERR_SUCCESS ? std::move(device) : nullptr;
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
    traceSentFrame(path_, frame, bytes);
    return sendBytes(bytes, timeout);
}

bool Device::sendBytes(const std::vector<std::uint8_t> &bytes, milliseconds timeout)
{
    if (!emergency_.beginWrite())
        return false;
    const bool written = transport_->writeAll(bytes.data(), bytes.size(), timeout);
    emergency_.endWrite();
    return written;
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
    if (!transport_)
        return;
    if (firstGuardianStart_.joinable())
        firstGuardianStart_.join();
    if (EmergencyStop::dying()) {
        transport_->abandon();
    } else {
        // The guardian holds the port as well: it ends first.
        {
            std::lock_guard<std::mutex> lock(mutex_);
            guardian_.dismiss();
            firstGuardian_.dismiss();
        }
        transport_->close();
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
    const unsigned bit = 1u << ta;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto &stored = duty_[static_cast<std::size_t>(ta)][static_cast<std::size_t>(output)];
        if (stored != value) {
            stored = value;
            ++outputGeneration_;
            changed = true;
            if (value != 0) {
                guardian_.outputDriven();
                drivenTas_ |= bit;
            }
        }
    }
    const bool reached = ta == 0 || (extensionsInUse() & (1u << (ta - 1)));
    // Out of reach the extension is not driven, but whatever it was sent
    // last must not stay on: a release (or any change) sends it zeros.
    if (changed && !reached && (drivenTas_ & bit))
        owedZeros_ |= bit;
    if (changed)
        wake();
    return reached ? FTLIB_ERR_SUCCESS : FTLIB_ERR_NO_SUCH_DEVICE_INSTANCE;
}

std::uint32_t Device::comStatus() const
{
    if (lost_)
        return lostStatus_;
    if (closed_)
        return FTLIB_ERR_DEVICE_NOT_OPEN;
    return FTLIB_ERR_SUCCESS;
}

void Device::holdSilent(milliseconds duration)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        silentUntil_ = transport_->now() + duration;
    }
    wake();
}

} // namespace ftlib
