// SPDX-License-Identifier: GPL-3.0-or-later
// Both ends of a port search in network namespaces a test made:
//   searchprobe LIBRARY list [NAME]  opens NAME first if given ("open 0x..."
//       when that fails), then searches the ports as the program does (the
//       count asked again before each entry) and prints "entry TEXT" for
//       each, "ms" and the time the search took, "fds" and the descriptors
//       before and after it;
//   searchprobe answer IP:PORT garbage|reset  listens there and answers each
//       connection with 24 bytes that are no status reply, or resets it;
//       says "ready" once it listens, and ends with its stdin.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/ftlibapi.h"

namespace {

int descriptors()
{
    int n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

int list(const char *library, const char *name)
{
    FtLibApi api;
    if (!api.load(library) || api.ftxInitLib() != FTLIB_ERR_SUCCESS)
        return 3;
    FtHandle h = 0;
    if (name) {
        uint32_t status = 0;
        h = api.ftxOpenComDevice(name, 38400, &status);
        if (!h)
            std::printf("open 0x%08x\n", status);
    }
    const int before = descriptors();
    const auto start = std::chrono::steady_clock::now();
    std::string entries;
    char buffer[256];
    for (uint32_t i = 0; i < api.GetAvailableComPorts(0) && i < 100; ++i) {
        if (api.EnumComPorts(i, buffer, sizeof buffer) != i)
            break;
        entries += std::string("entry ") + buffer + "\n";
    }
    const auto took = std::chrono::steady_clock::now() - start;
    const int after = descriptors();
    std::printf("%sms %lld\nfds %d %d\n", entries.c_str(),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()), before,
                after);
    if (h)
        api.ftxCloseDevice(h);
    api.ftxCloseLib();
    return 0;
}

int answer(const char *address, const char *how)
{
    const std::string text = address;
    const std::size_t colon = text.rfind(':');
    sockaddr_in at{};
    at.sin_family = AF_INET;
    if (colon == std::string::npos || ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &at.sin_addr) != 1)
        return 2;
    at.sin_port = htons(static_cast<uint16_t>(std::stoi(text.substr(colon + 1))));
    const bool reset = std::strcmp(how, "reset") == 0;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0 || ::bind(server, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 || ::listen(server, 4) != 0)
        return 3;
    std::puts("ready");
    std::fflush(stdout);
    for (;;) {
        pollfd p[2] = {{server, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0)
            continue;
        if (p[1].revents)
            return 0;
        const int client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        if (reset) {
            const linger now{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        } else {
            // As long as a status reply, starting with another id.
            const char noise[] = "HTTP/1.0 400 Bad Request";
            static_cast<void>(::send(client, noise, 24, MSG_NOSIGNAL));
            char sink[64];
            while (::recv(client, sink, sizeof sink, 0) > 0) {
            }
        }
        ::close(client);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if ((argc == 3 || argc == 4) && std::strcmp(argv[2], "list") == 0)
        return list(argv[1], argc == 4 ? argv[3] : nullptr);
    if (argc == 4 && std::strcmp(argv[1], "answer") == 0)
        return answer(argv[2], argv[3]);
    return 2;
}
