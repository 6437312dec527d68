// SPDX-License-Identifier: GPL-3.0-or-later
#include "simulator/ptyserver.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace txsim {

using Clock = std::chrono::steady_clock;

namespace {

bool makeRaw(int fd)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, B38400);
    ::cfsetospeed(&t, B38400);
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

PtyServer::PtyServer(DeviceEngine &engine)
    : engine_(engine)
{
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

PtyServer::~PtyServer()
{
    closePty();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

bool PtyServer::open(std::string &error)
{
    if (wakeFd_ < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error = std::string("posix_openpt: ") + std::strerror(errno);
        closePty();
        return false;
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        closePty();
        return false;
    }
    slavePath_ = name;
    // Keeping a slave open ourselves means the master never sees EIO when the
    // host closes its side and reopens it later.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0 || !makeRaw(slave_)) {
        error = slavePath_ + ": " + std::strerror(errno);
        closePty();
        return false;
    }
    const int flags = ::fcntl(master_, F_GETFL);
    ::fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    return true;
}

void PtyServer::closePty()
{
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
    master_ = slave_ = -1;
    queue_.clear();
}

void PtyServer::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void PtyServer::requestStop()
{
    stop_ = true;
    wake();
}

void PtyServer::dropReplies(int count)
{
    std::lock_guard<std::mutex> lock(faultMutex_);
    drop_ += count;
}

void PtyServer::corruptReplies(int count)
{
    std::lock_guard<std::mutex> lock(faultMutex_);
    corrupt_ += count;
}

void PtyServer::splitNextReply(std::chrono::milliseconds pause)
{
    std::lock_guard<std::mutex> lock(faultMutex_);
    splitPause_ = pause.count() > 0 ? pause : std::chrono::milliseconds(1);
}

void PtyServer::strayTextBeforeNextReply()
{
    std::lock_guard<std::mutex> lock(faultMutex_);
    stray_ = true;
}

void PtyServer::setMute(bool mute)
{
    std::lock_guard<std::mutex> lock(faultMutex_);
    mute_ = mute;
}

void PtyServer::setLatency(std::chrono::milliseconds latency)
{
    std::lock_guard<std::mutex> lock(faultMutex_);
    latency_ = latency;
}

void PtyServer::hangUp()
{
    hangUpRequested_ = true;
    wake();
}

void PtyServer::stallHost(std::chrono::milliseconds pause)
{
    if (slave_ < 0)
        return;
    // Suspends the terminal's output: what the host writes on its side of
    // the pty is not taken until it resumes.
    if (::tcflow(slave_, TCOOFF) == 0) {
        stalled_ = true;
        stalledUntil_ = Clock::now() + pause;
    }
}

void PtyServer::enqueue(const Reply &reply, Clock::time_point received)
{
    std::lock_guard<std::mutex> lock(faultMutex_);
    if (mute_)
        return;
    auto due = received + latency_ + std::chrono::duration_cast<Clock::duration>(reply.delay);
    if (!queue_.empty())
        due = std::max(due, queue_.back().due);
    if (reply.isFrame && drop_ > 0) {
        --drop_;
        return;
    }
    std::vector<std::uint8_t> bytes = reply.bytes;
    if (reply.isFrame && corrupt_ > 0 && bytes.size() >= 3) {
        --corrupt_;
        bytes[bytes.size() - 2] ^= 0xFF;
    }
    if (reply.isFrame && stray_) {
        stray_ = false;
        const std::string text = "\r\nUnknown command\r\nROBO TX-000/USB>";
        queue_.push_back(Chunk{std::vector<std::uint8_t>(text.begin(), text.end()), due});
    }
    if (reply.isFrame && splitPause_.count() > 0) {
        for (std::uint8_t b : bytes) {
            queue_.push_back(Chunk{{b}, due});
            due += splitPause_;
        }
        splitPause_ = std::chrono::milliseconds(0);
        return;
    }
    queue_.push_back(Chunk{std::move(bytes), due});
}

void PtyServer::flush()
{
    const auto now = Clock::now();
    while (master_ >= 0 && !queue_.empty() && queue_.front().due <= now) {
        Chunk &chunk = queue_.front();
        const ssize_t n = ::write(master_, chunk.bytes.data(), chunk.bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // EAGAIN: wait for POLLOUT
        }
        chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + n);
        if (chunk.bytes.empty())
            queue_.pop_front();
    }
}

void PtyServer::releaseDeadHostsPort()
{
#ifdef TIOCGEXCL
    // A host makes the port exclusive while it holds its lock. A pty stays
    // exclusive after a host that died without closing (our side keeps it
    // open), which would refuse every later host: the lock tells whether the
    // host is still there.
    int exclusive = 0;
    if (slave_ < 0 || ::ioctl(slave_, TIOCGEXCL, &exclusive) != 0 || !exclusive)
        return;
    if (::flock(slave_, LOCK_EX | LOCK_NB) != 0)
        return;
    ::ioctl(slave_, TIOCNXCL);
    ::flock(slave_, LOCK_UN);
#endif
}

void PtyServer::noteHost()
{
    bool exclusive = false;
#ifdef TIOCGEXCL
    int value = 0;
    exclusive = slave_ >= 0 && ::ioctl(slave_, TIOCGEXCL, &value) == 0 && value;
#endif
    hostConnected_ = exclusive;
}

void PtyServer::run(int extraFd, const std::function<bool()> &onExtra)
{
    std::vector<Reply> replies;
    while (!stop_) {
        if (hangUpRequested_.exchange(false) && master_ >= 0) {
            closePty();
            if (onHangUp)
                onHangUp();
        }
        const auto now = Clock::now();
        engine_.tick(now);
        if (stalled_ && now >= stalledUntil_) {
            stalled_ = false;
            if (slave_ >= 0)
                ::tcflow(slave_, TCOON);
        }
        // The watchdog needs a regular tick; queued pieces and a stall need
        // their time.
        int timeout = 50;
        if (!queue_.empty()) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(queue_.front().due - now).count();
            timeout = static_cast<int>(std::clamp<long long>(wait, 0, timeout));
        }
        if (stalled_) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(stalledUntil_ - now).count();
            timeout = static_cast<int>(std::clamp<long long>(wait, 0, timeout));
        }
        pollfd fds[3] = {{master_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {extraFd, POLLIN, 0}};
        if (!queue_.empty() && queue_.front().due <= now)
            fds[0].events |= POLLOUT;
        const int ready = ::poll(fds, 3, timeout);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            std::uint64_t value;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &value, sizeof value);
        }
        if (ready > 0 && master_ >= 0 && (fds[0].revents & POLLIN)) {
            std::uint8_t buffer[2048];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) {
                const auto received = Clock::now();
                replies.clear();
                engine_.receive(buffer, static_cast<std::size_t>(n), replies);
                for (const Reply &reply : replies)
                    enqueue(reply, received);
            }
        }
        // Quiet for a tick: a host may have died.
        if (ready == 0)
            releaseDeadHostsPort();
        noteHost();
        flush();
        if (ready > 0 && extraFd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (!onExtra())
                break;
        }
    }
}

} // namespace txsim
