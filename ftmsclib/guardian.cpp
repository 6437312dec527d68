// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/guardian.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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

// The memory shared with the guardian, mapped here; its descriptor goes to
// the guardian. nullptr with `why` set on failure.
GuardianShared *createShared(int &memory, std::string &why)
{
    memory = ::memfd_create(kGuardianProgram, MFD_CLOEXEC);
    if (memory < 0 || ::ftruncate(memory, sizeof(GuardianShared)) != 0) {
        why = std::string("shared memory: ") + std::strerror(errno);
        closeAll({memory});
        return nullptr;
    }
    void *mapped = ::mmap(nullptr, sizeof(GuardianShared), PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0);
    if (mapped == MAP_FAILED) {
        why = std::string("shared memory: ") + std::strerror(errno);
        closeAll({memory});
        return nullptr;
    }
    return new (mapped) GuardianShared;
}

void destroyShared(GuardianShared *shared)
{
    shared->~GuardianShared();
    ::munmap(shared, sizeof(GuardianShared));
}

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
std::string reap(pid_t pid)
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

bool Guardian::start(int portFd, std::string &why)
{
    dismiss();
    const std::string program = guardianPath();
    if (program.empty()) {
        why = std::string("no ") + kGuardianProgram + " beside the library";
        return false;
    }
    int memory = -1;
    GuardianShared *shared = createShared(memory, why);
    if (!shared)
        return false;
    int ends[2] = {-1, -1};
    const int self = programDescriptor();
    pid_t pid = -1;
    const int failed = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0
        ? errno
        : spawn(program, portFd, ends[1], memory, self, pid);
    closeAll({ends[1], memory, self});
    if (failed != 0) {
        why = std::string("cannot start ") + program + ": " + std::strerror(failed);
        closeAll({ends[0]});
        destroyShared(shared);
        return false;
    }
    shared_ = shared;
    socket_ = ends[0];
    pid_ = pid;
    share();
    return true;
}

Guardian::News Guardian::check(std::string &how)
{
    if (socket_ < 0)
        return News::None;
    char byte = 0;
    ssize_t n;
    do {
        n = ::recv(socket_, &byte, 1, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0)
        return byte == kGuardianReady ? News::Ready : News::None;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return News::None;
    // Closed: the guardian has ended (killed, say), or is ending. The
    // memory stays mapped: a fatal-signal handler may still look at it
    // until a new guardian's takes its place.
    how = reap(pid_);
    ::close(socket_);
    socket_ = -1;
    pid_ = -1;
    return News::Ended;
}

Guardian::News Guardian::await(int ms, std::string &how)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const News news = check(how);
        if (news != News::None || socket_ < 0)
            return news;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return News::None;
        pollfd p{socket_, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
}

void Guardian::replaceWith(Guardian &fresh)
{
    std::swap(shared_, fresh.shared_);
    std::swap(socket_, fresh.socket_);
    std::swap(pid_, fresh.pid_);
    share();
}

void Guardian::share()
{
    if (shared_) {
        shared_->live.store(live_);
        shared_->driven.store(driven_);
    }
}

void Guardian::dismiss(bool unmap)
{
    if (pid_ > 0) {
        shared_->dismissed.store(true);
        // The socket is empty and takes one byte without waiting.
        [[maybe_unused]] const ssize_t sent = ::send(socket_, &kGuardianDismissed, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        ::close(socket_);
        socket_ = -1;
        // It ends as soon as it reads that; one that does not (a stopped
        // process) must not keep the port open.
        reap(pid_);
        pid_ = -1;
    }
    forget(unmap);
}

void Guardian::forget(bool unmap)
{
    if (socket_ >= 0)
        ::close(socket_);
    if (shared_ && unmap)
        destroyShared(shared_);
    shared_ = nullptr;
    socket_ = -1;
    pid_ = -1;
}

} // namespace ftlib
