// SPDX-License-Identifier: GPL-3.0-or-later
// Linux: the pads' thread sleeps in poll() on an eventfd for wakes, an
// inotify watch of /dev/input for new devices, and the pads' own evdev
// files; sysfs tells whether a device with a pad's buttons is plugged in.
#include "control/padwait.h"

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "control/padthread.h"

namespace {

int watchInputDevices()
{
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0 && ::inotify_add_watch(fd, "/dev/input", IN_CREATE | IN_ATTRIB) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads what the file has (SDL reads the pad from a file of its own);
// false when the device is gone.
bool drain(int fd)
{
    char buffer[1024];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
    }
    return !(got < 0 && errno == ENODEV);
}

} // namespace

bool padPluggedIn()
{
    DIR *devices = ::opendir("/sys/class/input");
    if (!devices)
        return true; // no way to tell: ask SDL
    bool found = false;
    while (const dirent *entry = ::readdir(devices)) {
        if (std::string(entry->d_name).rfind("event", 0) != 0)
            continue;
        std::ifstream keys(std::string("/sys/class/input/") + entry->d_name + "/device/capabilities/key");
        std::string line;
        if (std::getline(keys, line) && hasPadButtons(line)) {
            found = true;
            break;
        }
    }
    ::closedir(devices);
    return found;
}

InputDeviceWatch::InputDeviceWatch()
    : fd(watchInputDevices())
{
}

InputDeviceWatch::~InputDeviceWatch()
{
    if (fd >= 0)
        ::close(fd);
}

void InputDeviceWatch::drain() const
{
    ::drain(fd);
}

struct PadWait::Handles {
    int wakeFd = -1;
    // New device files: a pad plugged in is looked for at once.
    int hotplugFd = -1;
};

PadWait::PadWait()
    : handles(new Handles)
{
    handles->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    handles->hotplugFd = watchInputDevices();
}

PadWait::~PadWait()
{
    for (const int fd : {handles->wakeFd, handles->hotplugFd}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void PadWait::wake()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(handles->wakeFd, &one, sizeof one);
}

int PadWait::openPadFile(const char *path)
{
    return path ? ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY) : -1;
}

void PadWait::closePadFile(int file)
{
    if (file >= 0)
        ::close(file);
}

bool PadWait::wait(std::chrono::milliseconds period, const std::vector<int> &files, std::vector<bool> &gone)
{
    std::vector<pollfd> watched;
    watched.push_back({handles->wakeFd, POLLIN, 0});
    if (handles->hotplugFd >= 0)
        watched.push_back({handles->hotplugFd, POLLIN, 0});
    const size_t firstPad = watched.size();
    for (const int file : files)
        watched.push_back({file, POLLIN, 0}); // -1 is skipped by poll
    if (::poll(watched.data(), watched.size(), int(period.count())) <= 0)
        return false;
    for (size_t i = 0; i < firstPad; ++i) {
        if (watched[i].revents & POLLIN)
            ::drain(watched[i].fd);
    }
    const bool woken = watched[0].revents & POLLIN;
    for (size_t i = firstPad; i < watched.size(); ++i) {
        if (watched[i].fd < 0 || !watched[i].revents)
            continue;
        // An unplugged device's file says so before SDL learns of it
        // through udev.
        const bool hungUp = watched[i].revents & (POLLHUP | POLLERR | POLLNVAL);
        if (hungUp || !::drain(watched[i].fd))
            gone[i - firstPad] = true;
    }
    return woken;
}
