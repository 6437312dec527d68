// SPDX-License-Identifier: GPL-3.0-or-later
// What kavrik-txprobe reads of a Windows system, and how it waits and reads
// the user's answers there.
#include "txprobe/system.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "ftmsclib/comports.h"

namespace txprobe {

namespace {

std::string utf8(const wchar_t *text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(out.find('\0'));
    return out;
}

std::string registryText(HKEY root, const wchar_t *path, const wchar_t *name)
{
    wchar_t text[256] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    if (::RegGetValueW(root, path, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return {};
    return utf8(text);
}

void (*interruptHandler)(int) = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (interruptHandler)
        interruptHandler(SIGINT);
    return TRUE;
}

} // namespace

void sleepMs(int ms)
{
    ::Sleep(static_cast<DWORD>(ms > 0 ? ms : 0));
}

int inputChar(char &c, int ms)
{
    // Windows has no wait for a pipe's bytes that works everywhere (Wine's
    // pipes from Linux refuse PeekNamedPipe), so a thread of its own reads
    // the input, a character at a time, and this waits for what it read.
    struct Input {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<char> read;
        bool closed = false;
    };
    static Input *const input = [] {
        auto *in = new Input;
        try {
            std::thread([in] {
                const HANDLE handle = ::GetStdHandle(STD_INPUT_HANDLE);
                for (;;) {
                    char got = 0;
                    DWORD n = 0;
                    const bool ok = handle && handle != INVALID_HANDLE_VALUE
                        && ::ReadFile(handle, &got, 1, &n, nullptr) && n == 1;
                    std::lock_guard<std::mutex> lock(in->mutex);
                    if (!ok) {
                        in->closed = true;
                        in->changed.notify_all();
                        return;
                    }
                    in->read.push_back(got);
                    in->changed.notify_all();
                }
            }).detach();
        } catch (...) {
            in->closed = true;
        }
        return in;
    }();
    std::unique_lock<std::mutex> lock(input->mutex);
    input->changed.wait_for(lock, std::chrono::milliseconds(ms > 0 ? ms : 0),
                            [] { return !input->read.empty() || input->closed; });
    if (!input->read.empty()) {
        c = input->read.front();
        input->read.pop_front();
        return 1;
    }
    return input->closed ? -1 : 0;
}

void catchInterrupts(void (*handler)(int))
{
    interruptHandler = handler;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}

std::tm localTime(std::time_t time)
{
    std::tm local{};
    ::localtime_s(&local, &time);
    return local;
}

std::vector<std::string> environmentVariables()
{
    std::vector<std::string> variables;
    wchar_t *block = ::GetEnvironmentStringsW();
    for (const wchar_t *e = block; e && *e; e += wcslen(e) + 1)
        variables.push_back(utf8(e));
    if (block)
        ::FreeEnvironmentStringsW(block);
    return variables;
}

void systemDetails(Report &report)
{
    const wchar_t *key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    const std::string product = registryText(HKEY_LOCAL_MACHINE, key, L"ProductName");
    const std::string build = registryText(HKEY_LOCAL_MACHINE, key, L"CurrentBuild");
    report.fact("system", "os", product.empty() ? "Windows (version not known)" : product + ", build " + build);
    // Wine says so of itself: the report then tells a test from a real PC.
    if (const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll")) {
        using Version = const char *(__cdecl *)();
        if (const auto wine = reinterpret_cast<Version>(::GetProcAddress(ntdll, "wine_get_version")))
            report.fact("system", "kernel", std::string("Wine ") + wine());
    }
    wchar_t name[256] = {};
    DWORD size = 255;
    ::GetUserNameW(name, &size);
    report.fact("system", "user", utf8(name));
}

void portDetails(Report &report, const std::string &canonical)
{
    // The port opens by its name; what device it is, the port search says
    // (its list is in the report too).
    const std::string name = ftlib::comPortName(canonical);
    report.fact("port", "node", name.empty() ? "not a COM port name" : "\\\\.\\" + name);
}

std::string hostInterface(const std::string &host)
{
    in_addr target{};
    if (::inet_pton(AF_INET, host.c_str(), &target) != 1)
        return "not known (" + host + " is no IPv4 address)";
    std::vector<unsigned char> buffer(32 * 1024);
    ULONG size = static_cast<ULONG>(buffer.size());
    const ULONG r = ::GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr,
                                           reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()), &size);
    if (r != NO_ERROR)
        return "not known (GetAdaptersAddresses: error " + std::to_string(r) + ")";
    const std::uint32_t wanted = ntohl(target.s_addr);
    for (auto *a = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()); a; a = a->Next) {
        for (IP_ADAPTER_UNICAST_ADDRESS *u = a->FirstUnicastAddress; u; u = u->Next) {
            if (!u->Address.lpSockaddr || u->Address.lpSockaddr->sa_family != AF_INET)
                continue;
            const unsigned length = u->OnLinkPrefixLength;
            // A prefix of 0 would put every address on that network.
            if (length == 0 || length > 32)
                continue;
            const std::uint32_t mask = length == 32 ? 0xFFFFFFFFu : ~((1u << (32 - length)) - 1);
            const auto *address = reinterpret_cast<const sockaddr_in *>(u->Address.lpSockaddr);
            if ((ntohl(address->sin_addr.s_addr) & mask) != (wanted & mask))
                continue;
            char text[INET_ADDRSTRLEN] = "?";
            ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
            return utf8(a->FriendlyName) + ", address " + text + "/" + std::to_string(length)
                + (a->OperStatus == IfOperStatusUp ? "" : " (down)");
        }
    }
    return "none on that network: this computer has no address there";
}

} // namespace txprobe
