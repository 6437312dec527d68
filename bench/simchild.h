// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// A headless kavrik-simulator for the benchmarks: started with pipes, read
// line by line with deadlines, ended by closing its stdin.
class SimChild {
public:
    // `extra`: further options, such as a controller behaviour to imitate.
    bool start(std::initializer_list<const char *> extra = {})
    {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<const char *> argv = {KAVRIK_BIN_DIR "/kavrik-simulator", "--headless", "--no-announce"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char **>(argv.data()), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        toSim_ = in[1];
        fromSim_ = out[0];
        if (rc != 0)
            return false;
        std::string line;
        if (!readLine(line, 5000) || line.find("\"ready\"") == std::string::npos)
            return false;
        const auto at = line.find("\"port\":\"");
        port = line.substr(at + 8, line.find('"', at + 8) - at - 8);
        return true;
    }

    ~SimChild()
    {
        if (toSim_ >= 0)
            ::close(toSim_);
        if (fromSim_ >= 0)
            ::close(fromSim_);
        if (pid_ > 0) {
            int status;
            ::waitpid(pid_, &status, 0);
        }
    }

    // One line without its newline; false after `ms` without one.
    bool readLine(std::string &line, int ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto end = buffer_.find('\n');
            if (end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            pollfd p{fromSim_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
                return false;
            char chunk[4096];
            const ssize_t n = ::read(fromSim_, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Waits for a line containing `needle`; returns its "t_us" or -1.
    long long waitFor(const std::string &needle, int ms)
    {
        std::string line;
        while (readLine(line, ms)) {
            if (line.find(needle) != std::string::npos) {
                const auto at = line.find("\"t_us\":");
                return at == std::string::npos ? 0 : std::atoll(line.c_str() + at + 7);
            }
        }
        return -1;
    }

    // A control command, one line ("unmute", say); not waited for.
    bool command(const std::string &line)
    {
        const std::string text = line + "\n";
        return ::write(toSim_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    pid_t pid() const { return pid_; }
    std::string port;

private:
    pid_t pid_ = -1;
    int toSim_ = -1;
    int fromSim_ = -1;
    std::string buffer_;
};

inline long long monotonicUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
