// SPDX-License-Identifier: GPL-3.0-or-later
// The device's lifecycle, setters and loop, and the rules every session
// shares: how the zeros are kept ready and how the link is given up.
#include "ftmsclib/device.h"

#include <algorithm>

#include "ftmsclib/fatalsignal.h"
#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/trace.h"

namespace ftlib {

using std::chrono::milliseconds;

Device::Device(const std::string &path, const std::string &canonicalPath, const LinkSettings &settings)
    : path_(path)
    , canonicalPath_(canonicalPath)
    , opener_(currentProcessId())
    , settings_(settings)
    , guarding_(path, emergency_)
{
    for (auto &modes : area_.motorMode)
        modes.fill(1);
}

bool Device::ready(std::uint32_t &status)
{
    int sysError = 0;
    if (wake_.create(sysError))
        return true;
    traceError(path_, sysError, "eventfd");
    status = FTLIB_ERR_FAILED;
    return false;
}

void Device::attach(std::unique_ptr<Transport> transport, bool guarded)
{
    transport_ = std::move(transport);
    if (!guarded)
        guarding_.notAsked();
}

bool Device::openedHere() const
{
    return currentProcessId() == opener_;
}

void Device::replaceTransport(std::unique_ptr<Transport> transport)
{
    guarding_.portChanged();
    transport_ = std::move(transport);
}

Device::~Device()
{
    close();
}

bool Device::sendBytes(const std::vector<std::uint8_t> &bytes, milliseconds timeout)
{
    if (!emergency_.beginWrite())
        return false;
    const bool written = transport_->writeAll(bytes.data(), bytes.size(), timeout);
    emergency_.endWrite();
    return written;
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
        area_.stopRequested = false;
        area_.silentUntil = {};
        // What a transfer before reported may no longer hold: switches are
        // taken as unknown until this one's answers show them.
        area_.inputs = {};
    }
    wake_.drain();
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
        area_.stopRequested = true;
    }
    wake_.raise();
    thread_.join();
    {
        // A later start must not drive the motors again by surprise.
        std::lock_guard<std::mutex> lock(mutex_);
        area_.stopRequested = false;
        for (auto &duties : area_.duty)
            duties.fill(0);
        ++area_.outputGeneration;
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
    if (EmergencyStop::dying()) {
        transport_->abandon();
    } else {
        // A silent controller's watch lasts until here (see loseLink). The
        // guardian holds the port as well: it ends first.
        guarding_.end();
        guarding_.dismiss();
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
        auto &mode = area_.motorMode[static_cast<std::size_t>(ta)][static_cast<std::size_t>(motor)];
        const std::uint8_t wanted = motorMode ? 1 : 0;
        if (mode != wanted) {
            mode = wanted;
            ++area_.configGeneration[static_cast<std::size_t>(ta)];
            changed = true;
        }
    }
    if (changed)
        wake_.raise();
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
        auto &stored = area_.duty[static_cast<std::size_t>(ta)][static_cast<std::size_t>(output)];
        if (stored != value) {
            stored = value;
            ++area_.outputGeneration;
            changed = true;
            if (value != 0) {
                guarding_.outputDriven();
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
        wake_.raise();
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
        area_.silentUntil = transport_->now() + duration;
    }
    wake_.raise();
}

void Device::loop()
{
    timeouts_ = 0;
    try {
        if (!prepare()) {
            guarding_.end();
            return;
        }
        // Guarded before anything that drives goes out.
        guarding_.begin(transport_->descriptor(), transport_->now(), lastZeros());
        transfer();
    } catch (...) {
        // Nothing may escape the thread (std::terminate would end the
        // program): an allocation failure loses the link like silence does.
        try {
            loseLink("internal failure (out of memory?)", 0, Loss::Silence);
        } catch (...) {
            lostStatus_ = FTLIB_ERR_TIMEOUT_TA;
            lost_ = true;
        }
    }
    guarding_.end();
}

Device::Area Device::area() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    Area area = area_;
    // The duties wait for the guardians' start (Guarding::mayDrive).
    if (!guarding_.mayDrive())
        area.duty = {};
    return area;
}

Transport::Wake Device::waitPort(Clock::time_point deadline)
{
    // Woken early for the guardians' heartbeat, the session finds its own
    // deadline not yet passed.
    const Transport::Wake wake =
        transport_->wait(std::min(deadline, guarding_.nextTick()), wake_.descriptor(), guarding_.watchFd());
    if (wake == Transport::Wake::Woken) {
        wake_.drain();
        guarding_.wakeUp(transport_->descriptor(), transport_->now());
    } else {
        guarding_.tick(transport_->descriptor(), transport_->now());
    }
    // The duties held back at the start go out now.
    if (guarding_.takeDriveAllowed()) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++area_.outputGeneration;
    }
    return wake;
}

bool Device::awaitPort(Clock::time_point deadline, Transport::Wake &wake)
{
    wake = waitPort(deadline);
    if (wake != Transport::Wake::Failed)
        return true;
    loseLink("cannot wait on the port", transport_->lastError(), Loss::Silence);
    return false;
}

void Device::publishZeros()
{
    guarding_.publish(lastZeros());
}

bool Device::replyMissed(std::uint32_t command)
{
    ++timeouts_;
    trace(path_, "reply timeout %d (command %u)", timeouts_, command);
    if (timeouts_ < settings_.maxTimeouts)
        return true;
    // A controller that still listens but no longer answers (replies lost on
    // the way back) must not keep the last duties.
    loseLink("no answer", 0, Loss::Silence);
    return false;
}

void Device::loseLink(const char *why, int sysError, Loss loss)
{
    if (sysError != 0)
        traceError(path_, sysError, "%s, link lost", why);
    else
        trace(path_, "%s, link lost", why);
    // A controller that only fell silent is still there: its answer may be
    // late (a TXT takes no request before it has answered the one before,
    // so these zeros may well be refused), and a program that dies before
    // it closes the device must still leave the zeros to its crash handler
    // and its guardians, who wait for that answer. Only a port or a
    // connection that is gone ends their watch here; the close ends it
    // otherwise.
    const bool stillThere = loss == Loss::Silence;
    if (!stillThere)
        guarding_.end();
    // Written with a short bound and not waited for: a controller whose
    // replies are lost on the way back still hears them, and a port that
    // seems gone may still take them.
    const std::vector<std::uint8_t> zeros = lastZeros();
    traceZeros(zeros);
    if (!sendBytes(zeros, settings_.lastZerosWrite))
        traceError(path_, transport_->lastError(), "the zero exchange could not be written");
    if (!stillThere)
        endConversation();
    lostStatus_ = loss == Loss::Silence ? FTLIB_ERR_TIMEOUT_TA
        : loss == Loss::PortGone        ? FTLIB_ERR_OPEN_COM
                                        : FTLIB_ERR_INIT_COM;
    lost_ = true;
}

} // namespace ftlib
