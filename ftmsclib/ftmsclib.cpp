// SPDX-License-Identifier: GPL-3.0-or-later
// The thirteen C entry points and the library's own two. Every one catches
// everything: nothing may unwind into a caller that knows only C.
// The entry points keep default visibility; everything else is hidden.
#pragma GCC visibility push(default)
#include "ftmsclib/ftmsclib.h"
#pragma GCC visibility pop

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "ftmsclib/device.h"
#include "ftmsclib/portscan.h"
#include "ftmsclib/systemports.h"
#include "ftmsclib/trace.h"
#include "ftmsclib/version.h"

namespace ftlib {

namespace {

// The open devices and the last port scan. Its destructor runs at process
// exit (or unload) and stops every transfer loop, so motors are left at 0
// even when the program closes nothing.
class Library {
public:
    ~Library() { closeAll(); }

    void closeAll()
    {
        std::map<FtHandle, std::shared_ptr<Device>> devices;
        {
            std::lock_guard<std::mutex> lock(mutex);
            devices.swap(this->devices);
        }
        // Outside the lock: each stop may take a few reply timeouts.
        for (auto &entry : devices) {
            // A child forked without exec that exits must not stop its
            // parent's transfer nor dismiss its guardians: it leaves the
            // device as it found it, never to be destroyed here.
            if (!entry.second->openedHere()) {
                // Kept where the process can still see it until it ends.
                static auto *inherited = new std::vector<std::shared_ptr<Device>>;
                inherited->push_back(std::move(entry.second));
                continue;
            }
            entry.second->close();
        }
    }

    std::shared_ptr<Device> find(FtHandle handle)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = devices.find(handle);
        return it == devices.end() ? nullptr : it->second;
    }

    std::mutex mutex;
    bool initialized = false;
    std::map<FtHandle, std::shared_ptr<Device>> devices;
    FtHandle nextHandle = 1;
    std::vector<PortEntry> ports;
};

Library &library()
{
    static Library instance;
    return instance;
}

template <typename F>
std::uint32_t guarded(F body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return FTLIB_ERR_NO_MEMORY;
    } catch (...) {
        return FTLIB_ERR_UNKNOWN;
    }
}

bool initialized()
{
    std::lock_guard<std::mutex> lock(library().mutex);
    return library().initialized;
}

// Runs `body` on the device behind `handle`, after the common checks.
template <typename F>
std::uint32_t withDevice(FtHandle handle, F body) noexcept
{
    return guarded([&]() -> std::uint32_t {
        if (!initialized())
            return FTLIB_ERR_LIB_IS_NOT_INITIALIZED;
        const std::shared_ptr<Device> device = library().find(handle);
        if (!device)
            return FTLIB_ERR_UNKNOWN_DEVICE_HANDLE;
        return body(*device);
    });
}

} // namespace

} // namespace ftlib

using namespace ftlib;

extern "C" {

uint32_t ftxGetLibVersion(void)
{
    return kVersionWord;
}

uint32_t ftxGetLibVersionStr(char *buf, uint32_t maxLen)
{
    if (!buf || maxLen < sizeof kVersionText)
        return FTLIB_ERR_INVALID_PARAM;
    std::memcpy(buf, kVersionText, sizeof kVersionText);
    return FTLIB_ERR_SUCCESS;
}

uint32_t ftxInitLib(void)
{
    return guarded([] {
        std::lock_guard<std::mutex> lock(library().mutex);
        if (library().initialized)
            return static_cast<std::uint32_t>(FTLIB_ERR_LIB_IS_INITIALIZED);
        library().initialized = true;
        return static_cast<std::uint32_t>(FTLIB_ERR_SUCCESS);
    });
}

uint32_t ftxCloseLib(void)
{
    return guarded([] {
        {
            std::lock_guard<std::mutex> lock(library().mutex);
            if (!library().initialized)
                return static_cast<std::uint32_t>(FTLIB_ERR_LIB_IS_NOT_INITIALIZED);
            library().initialized = false;
        }
        library().closeAll();
        return static_cast<std::uint32_t>(FTLIB_ERR_SUCCESS);
    });
}

FtHandle ftxOpenComDevice(const char *port, uint32_t baud, uint32_t *errCode)
{
    (void)baud; // every supported link runs at 38400, which open() sets
    std::uint32_t status = FTLIB_ERR_UNKNOWN;
    FtHandle handle = 0;
    status = guarded([&]() -> std::uint32_t {
        if (!initialized())
            return FTLIB_ERR_LIB_IS_NOT_INITIALIZED;
        if (!port || !*port)
            return FTLIB_ERR_INVALID_PARAM;
        // Tolerate a whole port-list entry: the path ends at the first blank.
        std::string path(port);
        path = path.substr(0, path.find(' '));
        if (path.empty())
            return FTLIB_ERR_INVALID_PARAM;
        // The same device may be named through a symlink (/dev/serial/by-id).
        const std::string canonical = canonicalPortPath(path);
        {
            std::lock_guard<std::mutex> lock(library().mutex);
            for (const auto &entry : library().devices) {
                if (entry.second->canonicalPath() == canonical) {
                    trace(path, "already open in this process");
                    return FTLIB_ERR_DEVICE_IS_OPEN;
                }
            }
        }
        std::uint32_t openStatus = FTLIB_ERR_UNKNOWN;
        std::shared_ptr<Device> device = Device::open(path, canonical, openStatus, true);
        if (!device)
            return openStatus;
        std::lock_guard<std::mutex> lock(library().mutex);
        Library &lib = library();
        if (!lib.initialized) {
            // ftxCloseLib ran meanwhile; the device closes as it goes out of scope.
            return FTLIB_ERR_LIB_IS_NOT_INITIALIZED;
        }
        while (lib.nextHandle == 0 || lib.devices.count(lib.nextHandle))
            ++lib.nextHandle;
        handle = lib.nextHandle++;
        lib.devices.emplace(handle, std::move(device));
        return FTLIB_ERR_SUCCESS;
    });
    if (status != FTLIB_ERR_SUCCESS)
        handle = 0;
    if (errCode)
        *errCode = status;
    return handle;
}

uint32_t ftxStartTransferArea(FtHandle h)
{
    return withDevice(h, [](Device &d) { return d.start(); });
}

uint32_t ftxStopTransferArea(FtHandle h)
{
    return withDevice(h, [](Device &d) { return d.stop(); });
}

uint32_t ftxCloseDevice(FtHandle h)
{
    return guarded([h]() -> std::uint32_t {
        std::shared_ptr<Device> device;
        {
            std::lock_guard<std::mutex> lock(library().mutex);
            if (!library().initialized)
                return FTLIB_ERR_LIB_IS_NOT_INITIALIZED;
            const auto it = library().devices.find(h);
            if (it == library().devices.end())
                return FTLIB_ERR_UNKNOWN_DEVICE_HANDLE;
            device = it->second;
            library().devices.erase(it);
        }
        device->close();
        return FTLIB_ERR_SUCCESS;
    });
}

uint32_t SetFtMotorConfig(FtHandle h, int32_t shmId, int32_t motorIdx, bool status)
{
    return withDevice(h, [=](Device &d) { return d.setMotorConfig(shmId, motorIdx, status); });
}

uint32_t SetOutPwmValues(FtHandle h, int32_t shmId, int32_t outIdx, int32_t duty)
{
    return withDevice(h, [=](Device &d) { return d.setDuty(shmId, outIdx, duty); });
}

uint32_t GetComStatus(FtHandle h)
{
    return withDevice(h, [](Device &d) { return d.comStatus(); });
}

uint32_t ftxGetOnlineExtensions(FtHandle h, uint32_t *extensions)
{
    if (!extensions)
        return FTLIB_ERR_INVALID_PARAM;
    return withDevice(h, [extensions](Device &d) {
        *extensions = d.extensionsReached();
        return d.comStatus();
    });
}

uint32_t ftxGetDeviceKind(FtHandle h, uint32_t *kind, uint32_t *maxExtensions, uint32_t *features)
{
    if (!kind || !maxExtensions || !features)
        return FTLIB_ERR_INVALID_PARAM;
    return withDevice(h, [=](Device &d) -> std::uint32_t {
        const DeviceKind k = d.kind();
        *kind = k.model == Model::Txt ? FT_DEVICE_ROBOTICS_TXT : FT_DEVICE_ROBO_TX;
        *maxExtensions = static_cast<std::uint32_t>(k.maxExtensions);
        *features = k.extensionsWhileRunning ? static_cast<std::uint32_t>(FT_FEATURE_EXTENSIONS_WHILE_RUNNING) : 0u;
        return FTLIB_ERR_SUCCESS;
    });
}

uint32_t SetFtEndSwitches(FtHandle h, int32_t shmId, int32_t outIdx, uint32_t inputs)
{
    return withDevice(h, [=](Device &d) {
        // Out of int's range is out of the inputs' range as well.
        return d.setEndSwitches(shmId, outIdx, inputs > 0xFFu ? 0x100u : inputs);
    });
}

uint32_t GetFtInputState(FtHandle h, int32_t shmId, FtInputState *state)
{
    if (!state)
        return FTLIB_ERR_INVALID_PARAM;
    return withDevice(h, [=](Device &d) -> std::uint32_t {
        InputState inputs;
        const std::uint32_t status = d.inputState(shmId, inputs);
        if (status == FTLIB_ERR_INVALID_PARAM)
            return status;
        for (std::size_t n = 0; n < inputs.universal.size(); ++n)
            state->universal[n] = inputs.universal[n];
        for (std::size_t c = 0; c < inputs.counter.size(); ++c)
            state->counter[c] = inputs.counter[c];
        state->switches = inputs.switches;
        state->closed = inputs.closed;
        state->blocked = inputs.blocked;
        state->answered = inputs.answered ? 1u : 0u;
        return status;
    });
}

uint32_t GetAvailableComPorts(int32_t selectMode)
{
    return guarded([selectMode]() -> std::uint32_t {
        if (selectMode < FT_PORTS_ALL || selectMode > FT_PORTS_BLUETOOTH)
            return FTLIB_ERR_INVALID_PARAM;
        // The TXTs this process has open are not asked: each serves one
        // client at a time.
        std::vector<std::string> openNames;
        {
            std::lock_guard<std::mutex> lock(library().mutex);
            for (const auto &entry : library().devices)
                openNames.push_back(entry.second->path());
        }
        std::vector<PortEntry> ports = scanPorts(selectMode, openNames);
        std::lock_guard<std::mutex> lock(library().mutex);
        library().ports = std::move(ports);
        return static_cast<std::uint32_t>(library().ports.size());
    });
}

uint32_t EnumComPorts(uint32_t idx, char *buf, uint32_t len)
{
    return guarded([=]() -> std::uint32_t {
        std::lock_guard<std::mutex> lock(library().mutex);
        const auto &ports = library().ports;
        if (!buf || idx >= ports.size())
            return FTLIB_ERR_INVALID_PARAM;
        const std::string text = ports[idx].path + " " + ports[idx].description;
        if (len < text.size() + 1)
            return FTLIB_ERR_INVALID_PARAM;
        std::memcpy(buf, text.c_str(), text.size() + 1);
        return idx;
    });
}

} // extern "C"
