// SPDX-License-Identifier: GPL-3.0-or-later
// What goes on a ROBOTICS TXT's wire: the exchanges, the configuration, and
// the shapes of their answers.
#include "ftmsclib/txtsession.h"

#include "ftmsclib/trace.h"

namespace ftlib {

namespace txt = protocol::txt;

std::vector<std::uint8_t> TxtSession::exchangeBytes(const Area &area, bool zeros, txt::WordStream &sent) const
{
    std::vector<txt::Outputs> blocks(plain_ ? 1 : 1 + (mask_ & 1u));
    if (!zeros) {
        for (std::size_t ta = 0; ta < blocks.size(); ++ta)
            blocks[ta].duty = wireDuties(area, static_cast<int>(ta));
    }
    return plain_ ? txt::exchange(blocks[0]) : txt::compressedExchange(sent, blocks, mask_);
}

std::vector<std::uint8_t> TxtSession::configBytes(const Area &area, int ta)
{
    txt::Config config;
    // A new id for each configuration: one the TXT has seen is ignored.
    config.configId = ++configId_[static_cast<std::size_t>(ta)];
    config.extension = static_cast<std::int16_t>(ta);
    config.motor = area.motorMode[static_cast<std::size_t>(ta)];
    // An end switch reads 0/1: resistance, digital.
    const unsigned switches = switchInputs(area, ta);
    for (std::size_t n = 0; n < config.input.size(); ++n) {
        if (switches & (1u << n))
            config.input[n] = txt::InputConfig{1, 1};
    }
    return txt::updateConfig(config);
}

void TxtSession::takeInputs(const std::vector<txt::Inputs> &blocks)
{
    std::vector<InputReport> reports;
    for (std::size_t ta = 0; ta < blocks.size() && ta <= static_cast<std::size_t>(txt::kMaxExtensions); ++ta) {
        InputReport report;
        report.ta = static_cast<int>(ta);
        report.inputs.universal = blocks[ta].input;
        // The counts, as the TX reports them.
        report.inputs.counter = blocks[ta].counterValue;
        reports.push_back(report);
    }
    inputsAnswered(reports);
}

std::vector<std::uint8_t> TxtSession::lastZeros() const
{
    if (!online_)
        return {};
    if (plain_)
        return txt::exchange(txt::Outputs{});
    // Published after each request has gone, so a program killed in between
    // leaves the zeros of the request before. Coded against no references,
    // they stop the TXT whether that request reached it or not.
    return txt::literalExchange(std::vector<txt::Outputs>(1 + (mask_ & 1u)), mask_);
}

void TxtSession::traceZeros(const std::vector<std::uint8_t> &bytes) const
{
    // Nothing goes once StopOnline has.
    if (!bytes.empty())
        traceSentText(path(), plain_ ? "ExchangeData" : "ExchangeDataCmpr", bytes);
}

AnswerShape TxtSession::exchangeAnswer() const
{
    return answerFor(plain_ ? txt::kExchangeData : txt::kExchangeDataCmpr);
}

AnswerShape TxtSession::answerFor(std::uint32_t command)
{
    switch (command) {
    case txt::kExchangeDataCmpr:
        return {0, static_cast<std::uint32_t>(txt::kCmprHeaderSize), 4};
    case txt::kExchangeData:
        return {static_cast<std::uint32_t>(txt::kExchangeReplySize), 0, 0};
    case txt::kQueryStatus:
        return {static_cast<std::uint32_t>(txt::kStatusReplySize), 0, 0};
    default:
        return {static_cast<std::uint32_t>(txt::kIdSize), 0, 0};
    }
}

} // namespace ftlib
