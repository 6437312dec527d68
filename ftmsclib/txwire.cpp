// SPDX-License-Identifier: GPL-3.0-or-later
// What goes on a ROBO TX's wire: the controllers an exchange names and the
// structures it carries for them.
#include "ftmsclib/txsession.h"

namespace ftlib {

namespace {

// Extension mask (bit k-1) to controller mask (bit k).
constexpr unsigned extensionTas(unsigned extensions)
{
    return extensions << 1;
}

} // namespace

unsigned TxSession::extensionsInUse() const
{
    return settings().extensions ? onlineExtensions_.load() & ~refused_.load() : 0u;
}

DeviceKind TxSession::kind() const
{
    // The status tells of every extension at the open, before any transfer.
    return DeviceKind{Model::RoboTx, protocol::kMaxExtensions, false};
}

unsigned TxSession::zeroTas(bool driven) const
{
    const unsigned inUse = 1u | extensionTas(extensionsInUse());
    return driven ? inUse | drivenTas() : inUse;
}

protocol::TaConfig TxSession::config(const Area &area, int ta)
{
    protocol::TaConfig config;
    config.motor = area.motorMode[static_cast<std::size_t>(ta)];
    config.input.fill(protocol::kInputDigital5k);
    // An end switch reads 0/1 in resistance mode, digital, whatever the
    // other inputs are.
    const unsigned switches = switchInputs(area, ta);
    for (std::size_t n = 0; n < protocol::kInputs; ++n) {
        if (switches & (1u << n))
            config.input[n] = protocol::kInputDigital5k;
    }
    return config;
}

void TxSession::takeInputs(const protocol::Frame &reply)
{
    std::vector<protocol::Item> items;
    if (!protocol::splitItems(reply, protocol::kTaInputSize, items))
        return;
    std::vector<InputReport> reports;
    for (const protocol::Item &item : items) {
        if (item.taId >= static_cast<std::uint32_t>(protocol::kTaCount))
            continue;
        const protocol::TaInput input = protocol::decodeTaInput(item.data);
        InputReport report;
        report.ta = static_cast<int>(item.taId);
        report.inputs.universal = input.universal;
        report.inputs.counter = input.counter;
        reports.push_back(report);
    }
    inputsAnswered(reports);
}

std::vector<std::uint8_t> TxSession::outputsPayload(const Area &area, unsigned tas, unsigned wire,
                                                    std::uint32_t &count)
{
    std::vector<std::uint8_t> payload;
    count = 0;
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        if (!(tas & (1u << ta)))
            continue;
        protocol::TaOutput out;
        if (wire & (1u << ta))
            out.duty = wireDuties(area, ta);
        protocol::appendTa(payload, static_cast<std::uint32_t>(ta), out);
        ++count;
    }
    return payload;
}

std::vector<std::uint8_t> TxSession::lastZeros() const
{
    // A copy, so that the loop's own next request keeps its transaction id.
    protocol::Session next = session_;
    const Area none;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> payload = outputsPayload(none, zeroTas(false), 0, count);
    std::vector<std::uint8_t> bytes = protocol::encodeFrame(next.request(protocol::kCmdExchange, count, std::move(payload)));
    // A controller may ignore an exchange naming an extension it lacks: the
    // driven ones out of reach get one of their own.
    if (zeroTas(true) != zeroTas(false)) {
        payload = outputsPayload(none, zeroTas(true), 0, count);
        const std::vector<std::uint8_t> wide =
            protocol::encodeFrame(next.request(protocol::kCmdExchange, count, std::move(payload)));
        bytes.insert(bytes.end(), wide.begin(), wide.end());
    }
    return bytes;
}

} // namespace ftlib
