// SPDX-License-Identifier: GPL-3.0-or-later
// The serial ports as Windows lists them: the COM port devices of SetupAPI,
// and the names in HARDWARE\DEVICEMAP\SERIALCOMM that no device gave.
#include "ftmsclib/systemports.h"

#include <set>

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include "ftmsclib/comports.h"

namespace ftlib {

namespace {

// GUID_DEVINTERFACE_COMPORT and GUID_DEVCLASS_PORTS, spelt out: their
// headers only declare them unless INITGUID comes first.
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::string utf8(const std::wstring &text)
{
    if (text.empty())
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

// A REG_SZ value; registry strings need not end in a zero, and may hold
// several (comPortName trims them).
std::string registryString(HKEY key, const wchar_t *name)
{
    DWORD type = 0, bytes = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_SZ)
        return {};
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&text[0]), &bytes) != ERROR_SUCCESS
        || type != REG_SZ)
        return {};
    text.resize(bytes / sizeof(wchar_t));
    return utf8(text.substr(0, text.find(L'\0')));
}

std::string deviceText(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property)
{
    wchar_t text[512] = {};
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, reinterpret_cast<BYTE *>(text),
                                             sizeof text - sizeof(wchar_t), nullptr)
        || type != REG_SZ)
        return {};
    return utf8(text);
}

// Every present device of `guid` with a port name not in `seen`; `seen`
// gets the names of those left out too, so that SERIALCOMM does not bring
// them back.
void readDevices(const GUID &guid, DWORD flags, std::vector<PortEntry> &ports, std::set<std::string> &seen)
{
    const HDEVINFO set = ::SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        std::string portName;
        const HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key != INVALID_HANDLE_VALUE) {
            portName = registryString(key, L"PortName");
            ::RegCloseKey(key);
        }
        if (comPortName(portName).empty() || !seen.insert(comPortName(portName)).second)
            continue;
        wchar_t id[MAX_DEVICE_ID_LEN] = {};
        if (!::SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, nullptr))
            id[0] = L'\0';
        std::string description = deviceText(set, device, SPDRP_DEVICEDESC);
        if (description.empty())
            description = deviceText(set, device, SPDRP_FRIENDLYNAME);
        if (const std::optional<PortEntry> entry = comPortEntry(utf8(id), portName, description))
            ports.push_back(*entry);
    }
    ::SetupDiDestroyDeviceInfoList(set);
}

// The ports the serial drivers have running, names only: all there is of
// ports without a device of their own (Wine's among them).
void readSerialComm(std::vector<PortEntry> &ports, std::set<std::string> &seen)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key)
        != ERROR_SUCCESS)
        return;
    DWORD values = 0, longestName = 0;
    if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, &longestName, nullptr,
                           nullptr, nullptr)
        == ERROR_SUCCESS) {
        std::wstring name(longestName + 1, L'\0');
        for (DWORD i = 0; i < values; ++i) {
            DWORD length = static_cast<DWORD>(name.size());
            if (::RegEnumValueW(key, i, &name[0], &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                continue;
            const std::string port = comPortName(registryString(key, name.c_str()));
            if (port.empty() || !seen.insert(port).second)
                continue;
            if (const std::optional<PortEntry> entry = comPortEntry({}, port, {}))
                ports.push_back(*entry);
        }
    }
    ::RegCloseKey(key);
}

} // namespace

std::vector<PortEntry> systemSerialPorts()
{
    std::vector<PortEntry> ports;
    std::set<std::string> seen;
    readDevices(kComPortInterface, DIGCF_DEVICEINTERFACE, ports, seen);
    readDevices(kPortsClass, 0, ports, seen);
    readSerialComm(ports, seen);
    return ports;
}

std::string canonicalPortPath(const std::string &path)
{
    return comPortName(path);
}

// "COM9" tells nothing: the device that gave the port does.
bool bluetoothSerialPort(const std::string &path, const std::string &)
{
    const std::string name = comPortName(path);
    if (name.empty())
        return false;
    for (const PortEntry &port : systemSerialPorts()) {
        if (port.path == name)
            return port.kind == PortKind::Bluetooth;
    }
    return false;
}

} // namespace ftlib
