// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The controller's text console, which shares the port with the frames: the
// serial-number probe a host sends, the device's recogniser for it and the
// answer it gives.
namespace protocol {

// CR, "get_ser_num", CR.
std::vector<std::uint8_t> consoleProbe();

// The device's answer: CR LF, prompt, echoed command, CR LF, serial, CR LF,
// prompt. The prompt is "<name>/USB>".
std::vector<std::uint8_t> consoleAnswer(const std::string &name, const std::string &serial);

// Host side: reads the answer to the probe. The serial number is the first
// line after the echoed command that holds only letters and digits, at least
// one digit among them (the format of a real controller's is not public); the
// answer ends with the prompt after the echoed command (text ending in '>'),
// whether a serial number came or not.
class ConsoleAnswerParser {
public:
    void feed(const std::uint8_t *data, std::size_t size);
    bool finished() const { return finished_; }
    // Empty until a serial number was seen.
    const std::string &serial() const { return serial_; }

private:
    void endLine();

    std::string line_;
    std::string serial_;
    bool echoSeen_ = false;
    bool finished_ = false;
};

// Device side: recognises the probe in a byte stream that also carries
// frames. Feed every received byte; true when the byte completes a probe.
class ConsoleProbeDetector {
public:
    bool feed(std::uint8_t byte);

private:
    std::size_t matched_ = 0;
};

} // namespace protocol
