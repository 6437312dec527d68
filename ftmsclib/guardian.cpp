// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/guardian.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace ftlib {

namespace {

// A copy of `fd` above the numbers the guardian is given them under, so that
// no copy onto 3, 4 or 5 overwrites another source.
int above(int fd)
{
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
}

void closeAll(std::initializer_list<int> fds)
{
    for (const int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

} // namespace

std::string guardianPath()
{
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void *>(&guardianPath), &info) || !info.dli_fname)
        return {};
    std::string path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    path = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    return path + kGuardianProgram;
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

// Starts `program` with the port, the pipe's reading end and the memory under
// the numbers it expects them; an errno value on failure.
int spawn(const std::string &program, int portFd, int reading, int memory, pid_t &pid)
{
    const int port = above(portFd), pipe = above(reading), shared = above(memory);
    if (port < 0 || pipe < 0 || shared < 0) {
        closeAll({port, pipe, shared});
        return EMFILE;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, port, kGuardianPortFd);
    posix_spawn_file_actions_adddup2(&actions, pipe, kGuardianPipeFd);
    posix_spawn_file_actions_adddup2(&actions, shared, kGuardianMemoryFd);
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
    closeAll({port, pipe, shared});
    return spawned;
}

} // namespace

bool Guardian::start(int portFd, std::string &why)
{
    dismiss();
    const std::string program = guardianPath();
    if (program.empty() || ::access(program.c_str(), X_OK) != 0) {
        why = "no " + program;
        return false;
    }
    int memory = -1;
    GuardianShared *shared = createShared(memory, why);
    if (!shared)
        return false;
    int pipe[2] = {-1, -1};
    pid_t pid = -1;
    const int failed = ::pipe2(pipe, O_CLOEXEC) != 0 ? errno : spawn(program, portFd, pipe[0], memory, pid);
    closeAll({pipe[0], memory});
    if (failed != 0) {
        why = std::string("cannot start ") + program + ": " + std::strerror(failed);
        closeAll({pipe[1]});
        destroyShared(shared);
        return false;
    }
    shared_ = shared;
    pipeFd_ = pipe[1];
    pid_ = pid;
    return true;
}

void Guardian::dismiss()
{
    if (pid_ > 0) {
        shared_->dismissed.store(true);
        ::close(pipeFd_);
        // It ends as soon as it sees the pipe close; one that does not (a
        // stopped process) must not keep the port open.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        for (;;) {
            const pid_t done = ::waitpid(pid_, nullptr, WNOHANG);
            if (done == pid_ || (done < 0 && errno != EINTR))
                break;
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (shared_)
        destroyShared(shared_);
    shared_ = nullptr;
    pipeFd_ = -1;
    pid_ = -1;
}

} // namespace ftlib
