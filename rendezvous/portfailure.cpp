// SPDX-License-Identifier: GPL-3.0-or-later
#include "rendezvous/portfailure.h"

#include "ftmsclib/ftmsclib.h"
#include "rendezvous/openfiles.h"

namespace rendezvous {

namespace {

// At most this many are named; the walk looks for a few more, as this
// process and guardians are not named among them.
constexpr std::size_t kHoldersNamed = 4;
constexpr std::size_t kHoldersSought = 6;

std::vector<PortHolder> holdersOf(const std::string &device)
{
    std::vector<PortHolder> holders;
    const long own = thisProcessId();
    for (const long pid : processesHolding(device, kHoldersSought)) {
        PortHolder holder;
        holder.pid = pid;
        holder.thisProcess = pid == own;
        if (!holder.thisProcess) {
            holder.program = processName(pid);
            if (holder.program == kGuardianProgram)
                continue;
        }
        holders.push_back(holder);
        if (holders.size() == kHoldersNamed)
            break;
    }
    return holders;
}

PortFailureKind kindOf(std::uint32_t status)
{
    switch (status) {
    case FTLIB_ERR_SUCCESS:
        return PortFailureKind::None;
    case FTLIB_ERR_DEVICE_IS_OPEN:
        return PortFailureKind::InUse;
    case FTLIB_ERR_ACCESS_DENIED:
        return PortFailureKind::AccessDenied;
    case FTLIB_ERR_OPEN_COM:
        return PortFailureKind::NotFound;
    case FTLIB_ERR_INIT_COM_TIMEOUT:
        return PortFailureKind::NoAnswer;
    case FTLIB_ERR_INIT_COM:
        return PortFailureKind::NotAController;
    default:
        return PortFailureKind::Other;
    }
}

} // namespace

PortFailure classifyPortFailure(std::uint32_t status, const std::string &path, const std::string &canonicalPath)
{
    PortFailure failure;
    failure.kind = kindOf(status);
    failure.bluetooth = bluetoothPort(path, canonicalPath);
    // A program that opened the port without taking it for itself may also
    // read the controller's answers away.
    if (failure.kind == PortFailureKind::InUse || failure.kind == PortFailureKind::NoAnswer)
        failure.holders = holdersOf(canonicalPath.empty() ? path : canonicalPath);
    return failure;
}

} // namespace rendezvous
