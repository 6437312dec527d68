// SPDX-License-Identifier: GPL-3.0-or-later
#include "rendezvous/simregistry.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rendezvous/openfiles.h"

namespace rendezvous {

namespace {

bool ensureDirectory(const std::string &dir, std::string &error)
{
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    std::string reason;
    if (!privateDirectory(dir, reason)) {
        error = dir + ": " + reason;
        return false;
    }
    return true;
}

bool processAlive(long pid)
{
    return pid > 0 && pid <= INT_MAX && ::kill(static_cast<pid_t>(pid), 0) == 0;
}

// "/dev/pts/<number>": the simulator only ever announces a pty slave.
bool isPtySlavePath(const std::string &path)
{
    const std::string prefix = "/dev/pts/";
    return path.size() > prefix.size() && path.size() < prefix.size() + 10 && path.compare(0, prefix.size(), prefix) == 0
        && std::all_of(path.begin() + static_cast<std::ptrdiff_t>(prefix.size()), path.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// An announcement is one short line; a larger file is none, and is not
// read in full (it may be a gigabyte).
constexpr off_t kLongestAnnouncement = 256;

// The first line of `file`, if the file is a regular one of at most
// kLongestAnnouncement bytes; empty otherwise.
std::string announcedPath(const std::string &file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return {};
    struct stat st {};
    char text[kLongestAnnouncement + 1];
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kLongestAnnouncement)
        n = ::read(fd, text, sizeof text);
    ::close(fd);
    if (n <= 0 || n > kLongestAnnouncement)
        return {};
    const std::string content(text, static_cast<std::size_t>(n));
    return content.substr(0, content.find('\n'));
}

// "A.B.C.D:PORT" with a port from 1 to 65535; the address as the kernel
// prints it in /proc/net/tcp (the network-order value read as a number).
bool tcpAddress(const std::string &text, std::uint32_t &ip, unsigned &port)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || text.size() - colon > 6
        || text.find_first_not_of("0123456789", colon + 1) != std::string::npos)
        return false;
    in_addr address{};
    if (::inet_pton(AF_INET, text.substr(0, colon).c_str(), &address) != 1)
        return false;
    port = static_cast<unsigned>(std::stoul(text.substr(colon + 1)));
    ip = address.s_addr;
    return port >= 1 && port <= 65535;
}

// Whether `pid` holds a socket listening on ip:port, or on every address at
// that port: a simulator that stopped listening, or whose number went to
// another process, is no simulator there.
bool listensOn(long pid, std::uint32_t ip, unsigned port)
{
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);
    while (std::getline(tcp, line)) {
        unsigned localIp = 0, localPort = 0, state = 0;
        unsigned long inode = 0;
        if (std::sscanf(line.c_str(), " %*u: %X:%X %*X:%*X %X %*X:%*X %*X:%*X %*X %*u %*u %lu", &localIp, &localPort,
                        &state, &inode) != 4)
            continue;
        constexpr unsigned kListen = 0x0A;
        if (state == kListen && localPort == port && (localIp == ip || localIp == 0)
            && processHolds(pid, "socket:[" + std::to_string(inode) + "]"))
            return true;
    }
    return false;
}

// The announced entries that `valid` accepts (given the simulator's pid and
// what its file says), sorted; files of dead simulators are removed.
std::vector<std::string> announced(const std::function<bool(long, const std::string &)> &valid)
{
    std::vector<std::string> found;
    const std::string dir = simulatorDirectory();
    std::string reason;
    // Entries planted by another user would make the program write to
    // whatever device they name.
    if (!privateDirectory(dir, reason))
        return found;
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return found;
    while (const dirent *entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        const std::string suffix = ".port";
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string file = dir + "/" + name;
        char *end = nullptr;
        errno = 0;
        const long pid = std::strtol(name.c_str(), &end, 10);
        if (end != name.c_str() + name.size() - suffix.size() || errno == ERANGE)
            continue;
        struct stat fileStat {};
        if (::lstat(file.c_str(), &fileStat) != 0 || !S_ISREG(fileStat.st_mode) || fileStat.st_uid != ::getuid())
            continue;
        if (!processAlive(pid)) {
            std::remove(file.c_str());
            continue;
        }
        const std::string content = announcedPath(file);
        if (valid(pid, content))
            found.push_back(content);
    }
    ::closedir(d);
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace

bool privateDirectory(const std::string &dir, std::string &reason)
{
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        reason = "not a folder";
        return false;
    }
    if (st.st_uid != ::getuid()) {
        reason = "owned by another user";
        return false;
    }
    if ((st.st_mode & 07777) != 0700) {
        reason = "others may write there (mode is not 0700)";
        return false;
    }
    return true;
}

std::string simulatorDirectory()
{
    if (const char *dir = std::getenv("KAVRIK_SIM_DIR"); dir && *dir)
        return dir;
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/kavrik-sim";
    // Under su or ssh without a session manager the variable may be unset
    // while the folder is there.
    const std::string userRuntime = "/run/user/" + std::to_string(::getuid());
    std::string reason;
    if (privateDirectory(userRuntime, reason))
        return userRuntime + "/kavrik-sim";
    return "/tmp/kavrik-sim-" + std::to_string(::getuid());
}

std::string announceSimulator(const std::string &where, std::string &error)
{
    const std::string dir = simulatorDirectory();
    if (!ensureDirectory(dir, error))
        return {};
    const std::string file = dir + "/" + std::to_string(::getpid()) + ".port";
    const std::string temp = file + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << where << '\n';
        if (!out.flush()) {
            error = temp + ": cannot write";
            return {};
        }
    }
    if (std::rename(temp.c_str(), file.c_str()) != 0) {
        error = file + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return {};
    }
    return file;
}

void withdrawSimulator(const std::string &file)
{
    if (!file.empty())
        std::remove(file.c_str());
}

std::vector<std::string> runningSimulators()
{
    return announced([](long pid, const std::string &path) {
        struct stat st {};
        return isPtySlavePath(path) && ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && processHolds(pid, path);
    });
}

std::vector<std::string> runningTxtSimulators()
{
    return announced([](long pid, const std::string &address) {
        std::uint32_t ip = 0;
        unsigned port = 0;
        return tcpAddress(address, ip, port) && listensOn(pid, ip, port);
    });
}

} // namespace rendezvous
