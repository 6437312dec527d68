// SPDX-License-Identifier: GPL-3.0-or-later
#include "rendezvous/openfiles.h"

#include <climits>
#include <cstdio>

#include <dirent.h>
#include <unistd.h>

namespace rendezvous {

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

std::string processName(long pid)
{
    std::string name;
    if (FILE *comm = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re")) {
        char text[64] = {};
        if (std::fgets(text, sizeof text, comm))
            name = text;
        std::fclose(comm);
    }
    while (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

} // namespace rendezvous
