// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/guardian.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ftmsclib/guardian_linux.h"
#include "ftmsclib/trace.h"

extern char **environ;

namespace ftlib {

namespace {

// A copy of `fd` above the numbers the guardian is given them under, so that
// no copy onto 3 to 6 overwrites another source.
int above(int fd)
{
    return fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
}

void closeAll(std::initializer_list<int> fds)
{
    for (const int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool executable(const std::string &path)
{
    return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

// This process as a descriptor that tells the guardian when it has ended,
// whoever else holds what it opened; -1 where the kernel has none (before
// 5.3), and the guardian then waits for its socket to close.
int programDescriptor()
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
#else
    return -1;
#endif
}

} // namespace

std::string guardianPath()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void *>(&guardianPath), &info) && info.dli_fname) {
        const std::string code = info.dli_fname;
        const std::size_t slash = code.rfind('/');
        if (slash != std::string::npos) {
            const std::string beside = code.substr(0, slash + 1) + kGuardianProgram;
            if (executable(beside))
                return beside;
        }
    }
#ifdef KAVRIK_GUARDIAN_DIR
    // kavrik-txprobe is installed among the programs, the guardian beside the library.
    const std::string installed = std::string(KAVRIK_GUARDIAN_DIR "/") + kGuardianProgram;
    if (executable(installed))
        return installed;
#endif
    return {};
}

namespace {

// Starts `program` with the port, its end of the socket, the memory and this
// process's descriptor under the numbers it expects them; an errno value on
// failure.
int spawn(const std::string &program, int portFd, int socketEnd, int memory, int self, pid_t &pid)
{
    const int port = above(portFd), socket = above(socketEnd), shared = above(memory), program_ = above(self);
    if (port < 0 || socket < 0 || shared < 0 || (self >= 0 && program_ < 0)) {
        closeAll({port, socket, shared, program_});
        return EMFILE;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, port, kGuardianPortFd);
    posix_spawn_file_actions_adddup2(&actions, socket, kGuardianSocketFd);
    posix_spawn_file_actions_adddup2(&actions, shared, kGuardianMemoryFd);
    if (program_ >= 0)
        posix_spawn_file_actions_adddup2(&actions, program_, kGuardianProgramFd);
    for (const int standard : {STDIN_FILENO, STDOUT_FILENO})
        posix_spawn_file_actions_addopen(&actions, standard, "/dev/null", O_RDWR, 0);
    // A process group of its own: Ctrl+C in the program's terminal must not
    // end the guardian before the program it guards. Default dispositions
    // and no blocked signals, whatever the program had.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    const char *argv[] = {kGuardianProgram, nullptr};
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeAll({port, socket, shared, program_});
    return spawned;
}

// The unified hierarchy's mount point and this process's cgroup in it, or
// why there is none to be had.
bool ownCgroup(std::string &mount, std::string &path, std::string &why)
{
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        // "ID PARENT MAJ:MIN ROOT MOUNT OPTIONS... - TYPE SOURCE SUPER"
        const std::size_t dash = line.find(" - cgroup2 ");
        if (dash == std::string::npos)
            continue;
        std::istringstream fields(line.substr(0, dash));
        std::string id, parent, device, root;
        fields >> id >> parent >> device >> root >> mount;
        break;
    }
    std::ifstream own("/proc/self/cgroup");
    for (std::string line; std::getline(own, line);) {
        if (line.rfind("0::", 0) == 0)
            path = line.substr(3);
    }
    if (mount.empty() || path.empty()) {
        why = "no unified cgroup hierarchy";
        return false;
    }
    return true;
}

// Moves the guardian `pid` out of the program's cgroup into a sibling of
// it: a desktop ends a program by killing its whole cgroup at once
// (cgroup.kill: the stop of its scope, systemd-oomd), which would take the
// guardians with it. Empty, or why it stays.
std::string leaveProgramCgroup(pid_t pid)
{
    std::string mount, path, why;
    if (!ownCgroup(mount, path, why))
        return why;
    const std::size_t slash = path.rfind('/');
    if (path == "/" || slash == std::string::npos)
        return "the program is in the root cgroup";
    const std::string sibling = mount + path.substr(0, slash) + "/" + kGuardianProgram + "s";
    if (::mkdir(sibling.c_str(), 0755) != 0 && errno != EEXIST)
        return sibling + ": " + std::strerror(errno);
    const int procs = ::open((sibling + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
    const std::string number = std::to_string(pid);
    const bool moved = procs >= 0 && ::write(procs, number.data(), number.size()) == ssize_t(number.size());
    const int error = errno;
    if (procs >= 0)
        ::close(procs);
    return moved ? std::string() : sibling + "/cgroup.procs: " + std::strerror(error);
}

std::string exitText(int status)
{
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    if (WIFEXITED(status))
        return "exited with " + std::to_string(WEXITSTATUS(status));
    return "ended";
}

// Reaps a guardian that has closed its socket (it is ending): a few
// milliseconds at most; one the program's own code reaped already is gone.
std::string reapProcess(pid_t pid)
{
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return exitText(status);
        if (done < 0 && errno != EINTR)
            return "ended";
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return "stopped answering, killed";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace

bool GuardianMemory::create(std::string &why)
{
    release(true);
    const int memory = ::memfd_create(kGuardianProgram, MFD_CLOEXEC);
    if (memory < 0 || ::ftruncate(memory, sizeof(GuardianShared)) != 0) {
        why = std::string("shared memory: ") + std::strerror(errno);
        closeAll({memory});
        return false;
    }
    void *mapped = ::mmap(nullptr, sizeof(GuardianShared), PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0);
    if (mapped == MAP_FAILED) {
        why = std::string("shared memory: ") + std::strerror(errno);
        closeAll({memory});
        return false;
    }
    shared_ = new (mapped) GuardianShared;
    fd_ = memory;
    return true;
}

void GuardianMemory::release(bool unmap)
{
    if (shared_ && unmap) {
        shared_->~GuardianShared();
        ::munmap(shared_, sizeof(GuardianShared));
    }
    closeAll({fd_});
    shared_ = nullptr;
    fd_ = -1;
}

GuardianWatch::~GuardianWatch()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool GuardianWatch::create(std::string &why)
{
    if (fd_ < 0)
        fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd_ < 0)
        why = "no epoll";
    return fd_ >= 0;
}

void GuardianWatch::rearm()
{
}

bool Guardian::start(int portFd, int memoryFd, int watchFd, std::string &why)
{
    dismiss();
    const std::string program = guardianPath();
    if (program.empty()) {
        why = std::string("no ") + kGuardianProgram + " beside the library";
        return false;
    }
    int ends[2] = {-1, -1};
    const int self = programDescriptor();
    pid_t pid = -1;
    const int failed = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0
        ? errno
        : spawn(program, portFd, ends[1], memoryFd, self, pid);
    closeAll({ends[1], self});
    if (failed != 0) {
        why = std::string("cannot start ") + program + ": " + std::strerror(failed);
        closeAll({ends[0]});
        return false;
    }
    // Said once: where it cannot leave, every guardian stays.
    static std::atomic<bool> told{false};
    const std::string stays = leaveProgramCgroup(pid);
    if (!stays.empty() && !told.exchange(true))
        trace(std::string(), "guardians share the program's cgroup, whose kill takes them too: %s", stays.c_str());
    socket_ = ends[0];
    pid_ = pid;
    askedAt_ = {};
    watchFd_ = watchFd;
    if (watchFd_ >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = socket_;
        ::epoll_ctl(watchFd_, EPOLL_CTL_ADD, socket_, &event);
    }
    return true;
}

void Guardian::closeSocket()
{
    if (socket_ < 0)
        return;
    if (watchFd_ >= 0)
        ::epoll_ctl(watchFd_, EPOLL_CTL_DEL, socket_, nullptr);
    ::close(socket_);
    socket_ = -1;
}

Guardian::News Guardian::check(std::string &how)
{
    News news = News::None;
    while (socket_ >= 0) {
        char byte = 0;
        ssize_t n;
        do {
            n = ::recv(socket_, &byte, 1, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            if (byte == kGuardianReady)
                news = News::Ready;
            else if (byte == kGuardianAnswer)
                askedAt_ = {};
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // Closed: the guardian has ended (killed, say), or is ending.
        how = reapProcess(static_cast<pid_t>(pid_));
        closeSocket();
        pid_ = -1;
        askedAt_ = {};
        return News::Ended;
    }
    return news;
}

void Guardian::ping(Clock::time_point now)
{
    if (socket_ < 0 || asked())
        return;
    // One byte into an empty socket goes at once; a full one means the
    // guardian reads nothing, which the unanswered question shows.
    if (::send(socket_, &kGuardianPing, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1)
        askedAt_ = now;
}

void Guardian::tellDismissed()
{
    if (socket_ < 0)
        return;
    [[maybe_unused]] const ssize_t sent = ::send(socket_, &kGuardianDismissed, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    closeSocket();
}

void Guardian::reap()
{
    // It ends as soon as it reads that; one that does not (a stopped
    // process) must not keep the port open.
    if (pid_ > 0)
        reapProcess(static_cast<pid_t>(pid_));
    pid_ = -1;
    askedAt_ = {};
}

bool Guardian::starting() const
{
    return false;
}

void Guardian::dismiss()
{
    tellDismissed();
    reap();
}

void Guardian::kill(std::string &how)
{
    if (pid_ > 0) {
        const pid_t pid = static_cast<pid_t>(pid_);
        ::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        how = "did not answer for a while (stopped?), killed";
    }
    closeSocket();
    pid_ = -1;
    askedAt_ = {};
}

} // namespace ftlib
