// SPDX-License-Identifier: GPL-3.0-or-later
// What kavrik-txprobe reads of a Linux system, and how it waits and reads
// the user's answers there.
#include "txprobe/system.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <arpa/inet.h>
#include <grp.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "ftmsclib/portscan.h"
#include "rendezvous/portfailure.h"

extern char **environ;

namespace txprobe {

namespace {

std::string readFirstLine(const std::string &path, const std::string &key)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (key.empty())
            return line;
        if (line.rfind(key + "=", 0) == 0) {
            std::string value = line.substr(key.size() + 1);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            return value;
        }
    }
    return {};
}

} // namespace

void sleepMs(int ms)
{
    ::poll(nullptr, 0, ms);
}

int inputChar(char &c, int ms)
{
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR)
        return 0;
    return n <= 0 ? -1 : 1;
}

void catchInterrupts(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

std::tm localTime(std::time_t time)
{
    std::tm local{};
    ::localtime_r(&time, &local);
    return local;
}

std::vector<std::string> environmentVariables()
{
    std::vector<std::string> variables;
    for (char **e = environ; *e; ++e)
        variables.emplace_back(*e);
    return variables;
}

void systemDetails(Report &report)
{
    const std::string os = readFirstLine("/etc/os-release", "PRETTY_NAME");
    report.fact("system", "os", os.empty() ? "unknown (no /etc/os-release)" : os);
    utsname u{};
    if (::uname(&u) == 0)
        report.fact("system", "kernel", std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine);
    std::string groups;
    gid_t list[256];
    const int count = ::getgroups(256, list);
    for (int i = 0; i < count; ++i) {
        const group *g = ::getgrgid(list[i]);
        groups += (i ? " " : "") + (g ? std::string(g->gr_name) : std::to_string(list[i]));
    }
    report.fact("system", "user", "uid " + std::to_string(::getuid()) + ", groups: " + (groups.empty() ? "none" : groups));
}

void portDetails(Report &report, const std::string &canonical)
{
    const std::string name = canonical.substr(canonical.find_last_of('/') + 1);
    struct stat st {};
    if (::stat(canonical.c_str(), &st) == 0) {
        const group *g = ::getgrgid(st.st_gid);
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        report.fact("port", "node", std::string(S_ISCHR(st.st_mode) ? "character device" : "not a character device")
                        + ", mode " + mode + ", owner uid " + std::to_string(st.st_uid) + ", group "
                        + (g ? g->gr_name : std::to_string(st.st_gid)));
    } else {
        report.fact("port", "node", std::string("cannot stat: ") + std::strerror(errno));
    }
    ftlib::UsbFacts usb;
    if (ftlib::usbFacts(name, usb)) {
        report.fact("port", "usb ids", usb.vendorId + ":" + usb.productId + " (a ROBO TX is 221d:1000)");
        report.fact("port", "usb manufacturer", usb.manufacturer);
        report.fact("port", "usb product", usb.product);
        report.fact("port", "usb serial", usb.serial);
        report.fact("port", "usb device version", usb.version);
        report.fact("port", "usb speed", usb.speed.empty() ? "" : usb.speed + " Mbit/s");
        report.fact("port", "usb bus port", usb.busPort);
        report.fact("port", "usb interface", "number " + usb.interfaceNumber + ", class " + usb.interfaceClass + "/"
                        + usb.interfaceSubClass + "/" + usb.interfaceProtocol + ", driver "
                        + (usb.driver.empty() ? "none" : usb.driver));
    } else {
        report.fact("port", "usb",
                    rendezvous::bluetoothPort(canonical) ? "none (Bluetooth RFCOMM)" : "none found in sysfs");
    }
}

// The interface of this computer on the TXT's network, by address and
// netmask: the one the connection most likely went out on.
std::string hostInterface(const std::string &host)
{
    in_addr target{};
    if (::inet_pton(AF_INET, host.c_str(), &target) != 1)
        return "not known (" + host + " is no IPv4 address)";
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return std::string("not known (getifaddrs: ") + std::strerror(errno) + ")";
    std::string found;
    for (const ifaddrs *a = list; a && found.empty(); a = a->ifa_next) {
        if (!a->ifa_addr || !a->ifa_netmask || a->ifa_addr->sa_family != AF_INET)
            continue;
        sockaddr_in address{}, netmask{};
        std::memcpy(&address, a->ifa_addr, sizeof address);
        std::memcpy(&netmask, a->ifa_netmask, sizeof netmask);
        const std::uint32_t mask = netmask.sin_addr.s_addr;
        // A mask of 0 would put every address on that network.
        if (mask == 0 || (address.sin_addr.s_addr & mask) != (target.s_addr & mask))
            continue;
        char text[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
        found = std::string(a->ifa_name) + ", address " + text + "/"
            + std::to_string(__builtin_popcount(ntohl(mask))) + ((a->ifa_flags & IFF_UP) ? "" : " (down)");
    }
    ::freeifaddrs(list);
    return found.empty() ? "none on that network: this computer has no address there" : found;
}

} // namespace txprobe
