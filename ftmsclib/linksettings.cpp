// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/linksettings.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ftmsclib/systemports.h"
#include "ftmsclib/trace.h"
#include "rendezvous/txtaddress.h"

namespace ftlib {

using std::chrono::milliseconds;

namespace {

bool envFlag(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value && std::strcmp(value, "0") != 0;
}

// A duration override: a whole number of milliseconds within the bounds.
void envMilliseconds(const char *name, long long low, long long high, const std::string &port, milliseconds &value)
{
    const char *text = std::getenv(name);
    if (!text || !*text)
        return;
    char *end = nullptr;
    errno = 0;
    const long long ms = std::strtoll(text, &end, 10);
    if (*text < '0' || *text > '9' || *end || errno == ERANGE || ms < low || ms > high) {
        trace(port, "%s=%s ignored: not a whole number of milliseconds from %lld to %lld", name, text, low, high);
        return;
    }
    value = milliseconds(ms);
}

} // namespace

LinkSettings LinkSettings::forPort(const std::string &path, const std::string &canonicalPath)
{
    return forLink(bluetoothSerialPort(path, canonicalPath), path);
}

LinkSettings LinkSettings::forLink(bool bluetooth, const std::string &port)
{
    LinkSettings settings;
    if (bluetooth) {
        // 38400 baud on the air: a request and its reply alone take ~40 ms.
        settings.replyTimeout = milliseconds(1000);
        settings.cycle = milliseconds(50);
        settings.probeTimeout = milliseconds(1000);
        settings.echoWindow = milliseconds(10000);
        settings.openBudget = milliseconds(12000);
    }
    settings.applyEnvironment(port);
    // A slow link set by the environment gets the time its timeouts need:
    // every echo try, then the requests that follow it.
    const auto needed = settings.probeTimeout
        + (settings.maxTimeouts + 2 + settings.extensionTimeouts) * settings.replyTimeout;
    settings.openBudget = std::max(settings.openBudget, needed);
    return settings;
}

LinkSettings LinkSettings::forTxt(const std::string &address)
{
    LinkSettings settings;
    rendezvous::TxtAddress parsed;
    rendezvous::parseTxtAddress(address, parsed);
    const rendezvous::TxtLink link = rendezvous::txtLink(parsed.host);
    // A radio's answers get more time, as long as three missed ones still
    // leave the window room to report the loss within a second.
    if (link != rendezvous::TxtLink::Usb && link != rendezvous::TxtLink::Loopback)
        settings.replyTimeout = milliseconds(250);
    settings.applyEnvironment(address);
    // The connect and the status query, at the timeouts the environment set.
    settings.openBudget = std::max(settings.openBudget, milliseconds(1000) + settings.maxTimeouts * settings.replyTimeout);
    return settings;
}

void LinkSettings::applyEnvironment(const std::string &port)
{
    envMilliseconds("KAVRIK_FTLIB_REPLY_TIMEOUT_MS", 10, 60000, port, replyTimeout);
    envMilliseconds("KAVRIK_FTLIB_CYCLE_MS", 1, 10000, port, cycle);
    cycleOnly = envFlag("KAVRIK_FTLIB_CYCLE_ONLY");
    if (const char *value = std::getenv("KAVRIK_FTLIB_EXTENSIONS"); value && std::strcmp(value, "0") == 0)
        extensions = false;
}

} // namespace ftlib
