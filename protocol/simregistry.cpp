#include "simregistry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace protocol {

namespace {

bool ensureDirectory(const std::string &dir, std::string &error)
{
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    // A folder someone else made in /tmp must not be trusted.
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        error = dir + ": not a folder owned by this user";
        return false;
    }
    return true;
}

bool processAlive(long pid)
{
    if (pid <= 0)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

} // namespace

std::string simulatorDirectory()
{
    if (const char *dir = std::getenv("KAVRIK_SIM_DIR"); dir && *dir)
        return dir;
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/kavrik-sim";
    return "/tmp/kavrik-sim-" + std::to_string(::getuid());
}

std::string announceSimulator(const std::string &ptyPath, std::string &error)
{
    const std::string dir = simulatorDirectory();
    if (!ensureDirectory(dir, error))
        return {};
    const std::string file = dir + "/" + std::to_string(::getpid()) + ".port";
    const std::string temp = file + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << ptyPath << '\n';
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
    std::vector<std::string> paths;
    const std::string dir = simulatorDirectory();
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return paths;
    while (const dirent *entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        const std::string suffix = ".port";
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string file = dir + "/" + name;
        char *end = nullptr;
        const long pid = std::strtol(name.c_str(), &end, 10);
        if (end != name.c_str() + name.size() - suffix.size())
            continue;
        if (!processAlive(pid)) {
            std::remove(file.c_str());
            continue;
        }
        std::ifstream in(file);
        std::string path;
        if (!std::getline(in, path) || path.empty() || path.find(' ') != std::string::npos)
            continue;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
            continue;
        paths.push_back(path);
    }
    ::closedir(d);
    std::sort(paths.begin(), paths.end());
    return paths;
}

} // namespace protocol
