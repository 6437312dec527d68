// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/console.h"

#include <algorithm>

namespace protocol {

namespace {
const char kCommand[] = "get_ser_num";
const std::size_t kCommandLength = sizeof(kCommand) - 1;
const std::size_t kMaxSerial = 32;

// Letters and digits only, with a digit: "ERROR" or "Unknown command" is no
// serial number.
bool looksLikeSerial(const std::string &line)
{
    const auto isAlnum = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    };
    return std::all_of(line.begin(), line.end(), isAlnum)
        && std::any_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; });
}
} // namespace

std::vector<std::uint8_t> consoleProbe()
{
    std::vector<std::uint8_t> probe;
    probe.push_back('\r');
    probe.insert(probe.end(), kCommand, kCommand + kCommandLength);
    probe.push_back('\r');
    return probe;
}

std::vector<std::uint8_t> consoleAnswer(const std::string &name, const std::string &serial)
{
    const std::string prompt = name + "/USB>";
    const std::string text = "\r\n" + prompt + kCommand + "\r\n" + serial + "\r\n" + prompt;
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

void ConsoleAnswerParser::feed(const std::uint8_t *data, std::size_t size)
{
    for (std::size_t i = 0; i < size && !finished_; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\r' || c == '\n') {
            endLine();
            continue;
        }
        // Frames or noise must not make the line grow without bound.
        if (line_.size() < 256)
            line_.push_back(c);
        // The closing prompt has no line end after it; the first prompt is on
        // the line of the echoed command, which has not ended yet.
        if (c == '>' && echoSeen_)
            finished_ = true;
    }
}

void ConsoleAnswerParser::endLine()
{
    if (!echoSeen_) {
        echoSeen_ = line_.find(kCommand) != std::string::npos;
    } else if (serial_.empty() && line_.size() <= kMaxSerial && looksLikeSerial(line_)) {
        serial_ = line_;
    }
    line_.clear();
}

bool ConsoleProbeDetector::feed(std::uint8_t byte)
{
    // Position 0 expects the leading CR, 1..n the command, n+1 the final CR.
    const std::size_t finalCr = kCommandLength + 1;
    bool expected = false;
    if (matched_ == 0 || matched_ == finalCr)
        expected = byte == '\r';
    else
        expected = byte == static_cast<std::uint8_t>(kCommand[matched_ - 1]);
    if (expected) {
        if (matched_ == finalCr) {
            matched_ = 0;
            return true;
        }
        ++matched_;
        return false;
    }
    // A CR can always start a new probe.
    matched_ = byte == '\r' ? 1 : 0;
    return false;
}

} // namespace protocol
