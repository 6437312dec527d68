// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for the controller library that does what each test says and
// records every call. Built in variants that leave out an entry point.
#include "tests/fakes/fakeftmsclib.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftmsclib/ftmsclib.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct FakeState
{
    std::string version = "01.05.11  (2012/02/19)";
    uint32_t initResult = FTLIB_ERR_SUCCESS;
    std::vector<std::string> ports;
    uint32_t openHandle = 1;
    uint32_t openError = FTLIB_ERR_SUCCESS;
    std::map<std::string, uint32_t> results;
    int openDelayMs = 0;
    uint32_t deviceKind[3] = {0, 0, 0};
    // Per controller: the inputs told to stop each output, and the inputs'
    // values as the tests set them (a switch with a value is closed).
    uint32_t endSwitches[9][8] = {};
    FtInputState inputs[9] = {};
    bool logging = true;
    // A deque: the texts handed out stay where they are while calls from
    // the program's other threads are added.
    std::deque<std::string> log;
};

// The program calls some entry points from a thread of its own.
std::recursive_mutex &stateMutex()
{
    static std::recursive_mutex m;
    return m;
}

FakeState &state()
{
    static FakeState s;
    return s;
}

void record(const char *name, std::initializer_list<long long> args)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    FakeState &s = state();
    if (!s.logging)
        return;
    std::string call = name;
    call += '(';
    bool first = true;
    for (long long a : args) {
        if (!first)
            call += ", ";
        call += std::to_string(a);
        first = false;
    }
    call += ')';
    s.log.push_back(std::move(call));
}

uint32_t resultOf(const char *name)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    const auto found = state().results.find(name);
    return found == state().results.end() ? FTLIB_ERR_SUCCESS : found->second;
}

// Presets for child processes, read when the library is loaded.
__attribute__((constructor)) void readEnvironment()
{
    if (const char *version = std::getenv("FAKE_FTMSCLIB_VERSION"))
        state().version = version;
    if (const char *init = std::getenv("FAKE_FTMSCLIB_INIT_RESULT"))
        state().initResult = static_cast<uint32_t>(std::strtoul(init, nullptr, 0));
}

} // namespace

FAKE_EXPORT void fakeFtReset(void)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    state() = FakeState();
}

FAKE_EXPORT void fakeFtSetVersionText(const char *text)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    state().version = text;
}

FAKE_EXPORT void fakeFtSetInitResult(uint32_t result)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    state().initResult = result;
}

FAKE_EXPORT void fakeFtSetPorts(const char *const *names, int count)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    state().ports.assign(names, names + count);
}

FAKE_EXPORT void fakeFtSetOpenResult(uint32_t handle, uint32_t errorCode)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    state().openHandle = handle;
    state().openError = errorCode;
}

FAKE_EXPORT void fakeFtSetOpenDelay(int ms)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    state().openDelayMs = ms;
}

FAKE_EXPORT void fakeFtSetResult(const char *entryPoint, uint32_t status)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    state().results[entryPoint] = status;
}

FAKE_EXPORT void fakeFtSetDeviceKind(uint32_t kind, uint32_t maxExtensions, uint32_t features)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    state().deviceKind[0] = kind;
    state().deviceKind[1] = maxExtensions;
    state().deviceKind[2] = features;
}

FAKE_EXPORT void fakeFtSetLogging(int on)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    state().logging = on != 0;
}

FAKE_EXPORT int fakeFtCallCount(void)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    return static_cast<int>(state().log.size());
}

FAKE_EXPORT const char *fakeFtCall(int index)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    const auto &log = state().log;
    return index >= 0 && static_cast<size_t>(index) < log.size() ? log[static_cast<size_t>(index)].c_str() : "";
}

FAKE_EXPORT void fakeFtClearLog(void)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    state().log.clear();
}

FAKE_EXPORT uint32_t ftxGetLibVersion(void)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("ftxGetLibVersion", {});
    return 0x00010511u;
}

#ifndef FAKE_WITHOUT_VERSION_TEXT
FAKE_EXPORT uint32_t ftxGetLibVersionStr(char *buf, uint32_t maxLen)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("ftxGetLibVersionStr", {maxLen});
    const std::string &v = state().version;
    std::memcpy(buf, v.c_str(), std::min<size_t>(v.size() + 1, maxLen));
    return FTLIB_ERR_SUCCESS;
}
#endif

#ifndef FAKE_WITHOUT_INIT
FAKE_EXPORT uint32_t ftxInitLib(void)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("ftxInitLib", {});
    return state().initResult;
}
#endif

FAKE_EXPORT FtHandle ftxOpenComDevice(const char *port, uint32_t baud, uint32_t *errCode)
{
    int delayMs = 0;
    {
        const std::lock_guard<std::recursive_mutex> lock(stateMutex());
        // The port is text, logged in quotes so tests can read it back whole;
        // the error code is logged as the caller preset it.
        if (state().logging) {
            state().log.push_back(std::string("ftxOpenComDevice(\"") + port + "\", " + std::to_string(baud)
                                  + ", " + std::to_string(*errCode) + ")");
        }
        delayMs = state().openDelayMs;
    }
    // A controller that answers slowly, or not at all.
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    *errCode = state().openError;
    return state().openHandle;
}

FAKE_EXPORT uint32_t ftxStartTransferArea(FtHandle h)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("ftxStartTransferArea", {h});
    return resultOf("ftxStartTransferArea");
}

FAKE_EXPORT uint32_t SetFtMotorConfig(FtHandle h, int32_t shmId, int32_t motorIdx, bool status)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("SetFtMotorConfig", {h, shmId, motorIdx, status});
    return FTLIB_ERR_SUCCESS;
}

FAKE_EXPORT uint32_t SetOutPwmValues(FtHandle h, int32_t shmId, int32_t outIdx, int32_t duty)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("SetOutPwmValues", {h, shmId, outIdx, duty});
    return resultOf("SetOutPwmValues");
}

FAKE_EXPORT uint32_t ftxStopTransferArea(FtHandle h)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("ftxStopTransferArea", {h});
    return resultOf("ftxStopTransferArea");
}

FAKE_EXPORT uint32_t ftxCloseDevice(FtHandle h)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("ftxCloseDevice", {h});
    return resultOf("ftxCloseDevice");
}

FAKE_EXPORT uint32_t ftxCloseLib(void)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("ftxCloseLib", {});
    return FTLIB_ERR_SUCCESS;
}

FAKE_EXPORT uint32_t GetComStatus(FtHandle h)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("GetComStatus", {h});
    return resultOf("GetComStatus");
}

FAKE_EXPORT uint32_t GetAvailableComPorts(int32_t selectMode)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("GetAvailableComPorts", {selectMode});
    return static_cast<uint32_t>(state().ports.size());
}

FAKE_EXPORT uint32_t EnumComPorts(uint32_t idx, char *buf, uint32_t len)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("EnumComPorts", {idx, len});
    const auto &ports = state().ports;
    if (idx >= ports.size() || len == 0)
        return FTLIB_ERR_INVALID_PARAM;
    const std::string &name = ports[idx];
    const size_t n = std::min<size_t>(name.size(), len - 1);
    std::memcpy(buf, name.data(), n);
    buf[n] = '\0';
    return idx;
}

FAKE_EXPORT uint32_t ftxGetDeviceKind(FtHandle h, uint32_t *kind, uint32_t *maxExtensions, uint32_t *features)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("ftxGetDeviceKind", {h});
    const uint32_t *told = state().deviceKind;
    if (!kind || !maxExtensions || !features)
        return FTLIB_ERR_INVALID_PARAM;
    if (told[0] == 0)
        return FTLIB_ERR_FAILED;
    *kind = told[0];
    *maxExtensions = told[1];
    *features = told[2];
    return FTLIB_ERR_SUCCESS;
}

FAKE_EXPORT uint32_t SetFtEndSwitches(FtHandle h, int32_t shmId, int32_t outIdx, uint32_t inputs)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("SetFtEndSwitches", {h, shmId, outIdx, inputs});
    if (shmId < 0 || shmId > 8 || outIdx < 0 || outIdx > 7 || inputs > 0xff)
        return FTLIB_ERR_INVALID_PARAM;
    state().endSwitches[shmId][outIdx] = inputs;
    return resultOf("SetFtEndSwitches");
}

FAKE_EXPORT uint32_t GetFtInputState(FtHandle h, int32_t shmId, FtInputState *out)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    record("GetFtInputState", {h, shmId});
    if (!out || shmId < 0 || shmId > 8)
        return FTLIB_ERR_INVALID_PARAM;
    FtInputState inputs = state().inputs[shmId];
    const uint32_t *stops = state().endSwitches[shmId];
    inputs.switches = inputs.closed = inputs.blocked = 0;
    for (int o = 0; o < 8; ++o)
        inputs.switches |= stops[o];
    for (int n = 0; n < 8; ++n) {
        if ((inputs.switches >> n & 1u) && inputs.universal[n] != 0)
            inputs.closed |= 1u << n;
    }
    for (int o = 0; o < 8; ++o) {
        if (stops[o] & inputs.closed)
            inputs.blocked |= 1u << o;
    }
    inputs.answered = 1;
    *out = inputs;
    return resultOf("GetFtInputState");
}

FAKE_EXPORT void fakeFtSetInputs(int32_t shmId, const int16_t *universal, const int16_t *counter)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex());
    if (shmId < 0 || shmId > 8)
        return;
    std::copy(universal, universal + 8, state().inputs[shmId].universal);
    std::copy(counter, counter + 4, state().inputs[shmId].counter);
}
