// SPDX-License-Identifier: GPL-3.0-or-later
#include "rendezvous/openfiles.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include <dirent.h>
#include <unistd.h>

namespace rendezvous {

long thisProcessId()
{
    return static_cast<long>(::getpid());
}

bool processHolds(long pid, const std::string &path)
{
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *fds = ::opendir(fdDir.c_str());
    if (!fds)
        return false;
    bool holds = false;
    while (const dirent *entry = ::readdir(fds)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[PATH_MAX];
        const ssize_t n = ::readlink((fdDir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n > 0 && path.compare(0, std::string::npos, target, static_cast<std::size_t>(n)) == 0) {
            holds = true;
            break;
        }
    }
    ::closedir(fds);
    return holds;
}

std::vector<long> processesHolding(const std::string &path, std::size_t most)
{
    std::vector<long> pids;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return pids;
    while (pids.size() < most) {
        const dirent *entry = ::readdir(proc);
        if (!entry)
            break;
        const std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos || name.size() > 9)
            continue;
        const long pid = std::stol(name);
        if (processHolds(pid, path))
            pids.push_back(pid);
    }
    ::closedir(proc);
    return pids;
}

namespace {

std::string baseName(const std::string &path)
{
    return path.substr(path.find_last_of('/') + 1);
}

std::string firstLine(const std::string &file, std::size_t most)
{
    std::string text;
    if (FILE *f = std::fopen(file.c_str(), "re")) {
        char buffer[256] = {};
        const std::size_t n = std::fread(buffer, 1, std::min(most, sizeof buffer - 1), f);
        text.assign(buffer, n);
        std::fclose(f);
    }
    return text;
}

} // namespace

std::string processName(long pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    // The kernel keeps 15 bytes of the name: "kavrik-simulato".
    std::string comm = firstLine(proc + "/comm", 64);
    comm = comm.substr(0, comm.find('\n'));
    // The program file, where this user may look (its own processes)...
    char target[PATH_MAX];
    const ssize_t n = ::readlink((proc + "/exe").c_str(), target, sizeof target - 1);
    if (n > 0) {
        std::string exe = baseName(std::string(target, static_cast<std::size_t>(n)));
        const std::string deleted = " (deleted)";
        if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
            exe.erase(exe.size() - deleted.size());
        if (!comm.empty() && exe.compare(0, comm.size(), comm) == 0)
            return exe;
    }
    // ...else the command line's first word, as long as it names the same
    // program (a process may rewrite its command line).
    const std::string cmdline = firstLine(proc + "/cmdline", 255);
    const std::string argv0 = baseName(cmdline.substr(0, cmdline.find('\0')));
    if (!comm.empty() && argv0.size() > comm.size() && argv0.compare(0, comm.size(), comm) == 0)
        return argv0;
    return comm;
}

} // namespace rendezvous
