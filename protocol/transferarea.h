// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/codec.h"

// The transfer-area structures carried in frame payloads, packed and unpacked
// field by field in little-endian order (never by copying a struct, whose
// layout and byte order belong to the compiler).
namespace protocol {

constexpr std::size_t kTaIdSize = 4;
constexpr std::size_t kTaOutputSize = 44;
constexpr std::size_t kTaInputSize = 48;
constexpr std::size_t kTaConfigSize = 48;
constexpr std::size_t kTaInfoSize = 64;
constexpr std::size_t kTaStateSize = 24;

constexpr int kOutputs = 8;
constexpr int kMotors = 4;
constexpr int kInputs = 8;
constexpr int kCounters = 4;
// TA id 0 is the master, 1 ... 8 the extensions.
constexpr int kMaxExtensions = 8;
constexpr int kTaCount = kMaxExtensions + 1;
constexpr int kDutyMax = 512;

constexpr std::uint8_t kInputDigital5k = 0x81;

// Outputs sent with every exchange request.
struct TaOutput {
    std::array<std::uint16_t, kCounters> counterResetIds{};
    std::array<std::uint8_t, kMotors> master{};
    std::array<std::int16_t, kOutputs> duty{};
    std::array<std::uint16_t, kMotors> distance{};
    std::array<std::uint16_t, kMotors> motorExIds{};
};

// Inputs returned by every exchange reply.
struct TaInput {
    std::array<std::int16_t, kInputs> universal{};
    std::array<std::uint8_t, kCounters> counterLevel{};
    std::array<std::int16_t, kCounters> counter{};
    std::int16_t buttonLeft = 0;
    std::int16_t buttonRight = 0;
    std::array<std::uint16_t, kCounters> counterResetAck{};
    std::array<std::uint16_t, kMotors> motorCmdAck{};
};

// Output and input modes written by the configuration request.
struct TaConfig {
    std::array<std::uint8_t, kMotors> motor{};
    std::array<std::uint8_t, kInputs> input{};
    std::array<std::uint8_t, kCounters> counterMode{};
};

// Identity of a controller, returned by the information request.
struct TaInfo {
    std::string name;
    std::string btAddress;
    std::uint32_t taStart = 0;
    std::uint32_t programStart = 0;
    std::uint32_t programSize = 0;
    std::array<std::uint8_t, 4> hardwareVersion{};
    std::array<std::uint8_t, 4> firmwareVersion{};
    std::array<std::uint8_t, 4> taVersion{};
};

// Link states of the extensions and Bluetooth channels (state request).
struct TaState {
    std::array<std::uint8_t, kMaxExtensions> extension{};
    std::array<std::uint8_t, 8> btChannel{};
};

constexpr std::uint8_t kExtensionOnline = 1;

// Each append writes the TA id and the structure at the end of `payload`.
void appendTa(std::vector<std::uint8_t> &payload, std::uint32_t taId, const TaOutput &ta);
void appendTa(std::vector<std::uint8_t> &payload, std::uint32_t taId, const TaInput &ta);
void appendTa(std::vector<std::uint8_t> &payload, std::uint32_t taId, const TaConfig &ta);
void appendTa(std::vector<std::uint8_t> &payload, std::uint32_t taId, const TaInfo &ta);
void appendTa(std::vector<std::uint8_t> &payload, std::uint32_t taId, const TaState &ta);
void appendTaId(std::vector<std::uint8_t> &payload, std::uint32_t taId);

// Each decode reads exactly the structure's size from `data` (the caller
// checks that many bytes are there; see splitItems).
TaOutput decodeTaOutput(const std::uint8_t *data);
TaInput decodeTaInput(const std::uint8_t *data);
TaConfig decodeTaConfig(const std::uint8_t *data);
TaInfo decodeTaInfo(const std::uint8_t *data);
TaState decodeTaState(const std::uint8_t *data);

// One structure of a payload: its TA id and where its bytes start.
struct Item {
    std::uint32_t taId = 0;
    const std::uint8_t *data = nullptr;
};

// Splits a frame's payload into `items` structures of `structSize` bytes each
// (after the TA id). False when the payload size does not match exactly; the
// items point into frame.payload, which must outlive them.
bool splitItems(const Frame &frame, std::size_t structSize, std::vector<Item> &items);

// What the host takes from the controller's replies: the first structure of
// an information reply, and the extensions a state reply reports online
// (bit k-1 for extension k). False, with the output left alone, when the
// reply holds no well-formed structure of that kind.
bool readInfo(const Frame &reply, TaInfo &info);
bool readOnlineExtensions(const Frame &reply, unsigned &online);

} // namespace protocol
