// SPDX-License-Identifier: GPL-3.0-or-later
#include "simulator/replay.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace txsim {

namespace {

std::vector<std::string> splitTabs(const std::string &line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

bool number(const std::string &text, unsigned long long max, unsigned long long &value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return errno != ERANGE && value <= max;
}

bool hexBytes(const std::string &text, std::vector<std::uint8_t> &bytes)
{
    bytes.clear();
    std::istringstream in(text);
    std::string pair;
    while (in >> pair) {
        if (pair.size() != 2 || pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        bytes.push_back(static_cast<std::uint8_t>(std::strtoul(pair.c_str(), nullptr, 16)));
    }
    return true;
}

} // namespace

bool Replay::load(const std::string &path, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot read";
        return false;
    }
    return parse(in, error);
}

bool Replay::parse(std::istream &in, std::string &error)
{
    answers_.clear();
    console_.clear();
    requests_ = 0;
    bool inConversation = false;
    // The request whose answer is awaited: its command, TID, time.
    RecordedAnswer *open = nullptr;
    unsigned long long openTid = 0, openTime = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("== ", 0) == 0) {
            inConversation = line == "== conversation";
            continue;
        }
        if (!inConversation || line.empty() || line[0] == '#')
            continue;
        const std::vector<std::string> f = splitTabs(line);
        unsigned long long time = 0, command = 0, tid = 0;
        if (f.size() < 6 || !number(f[0], ~0ull, time))
            continue;
        std::vector<std::uint8_t> bytes;
        if (!hexBytes(f[5], bytes))
            continue;
        if (f[1] == "tx" && number(f[2], 0xFFFFFFFFull, command) && number(f[3], 0xFFFF, tid)) {
            answers_[static_cast<std::uint32_t>(command)].push_back(RecordedAnswer{});
            open = &answers_[static_cast<std::uint32_t>(command)].back();
            openTid = tid;
            openTime = time;
            ++requests_;
        } else if (f[1] == "frame" && open && !open->answered && f[4] != "stale" && number(f[3], 0xFFFF, tid)
                   && tid == openTid && !bytes.empty()) {
            open->answered = true;
            open->frame = bytes;
            open->delay = std::chrono::microseconds(time >= openTime ? time - openTime : 0);
        } else if (f[1] == "console" && console_.empty()) {
            console_ = bytes;
        }
    }
    if (requests_ == 0) {
        error = "no requests recorded (no \"== conversation\" section with \"tx\" lines)";
        return false;
    }
    return true;
}

const RecordedAnswer *Replay::answer(std::uint32_t command, std::size_t n) const
{
    const auto it = answers_.find(command);
    if (it == answers_.end() || it->second.empty())
        return nullptr;
    return &it->second[std::min(n, it->second.size() - 1)];
}

} // namespace txsim
