// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/xserver.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

XServer::~XServer()
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

bool XServer::start(std::string &error)
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    // -displayfd: the server picks a free display and writes its number
    // once it accepts clients; the descriptor must survive exec.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const char *argv[] = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24", nullptr};
    const int spawned = ::posix_spawnp(&pid, "Xvfb", &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    if (spawned != 0) {
        pid = -1;
        ::close(ready[0]);
        error = std::string("cannot run Xvfb: ") + std::strerror(spawned);
        return false;
    }
    std::string display;
    char c = 0;
    pollfd fd{ready[0], POLLIN, 0};
    while (::poll(&fd, 1, 10000) > 0 && ::read(ready[0], &c, 1) == 1 && c != '\n')
        display += c;
    ::close(ready[0]);
    if (display.empty()) {
        error = "Xvfb did not report a display";
        return false;
    }
    ::setenv("DISPLAY", (":" + display).c_str(), 1);
    return true;
}

XTestInput::XTestInput()
{
    Display *d = ::XOpenDisplay(nullptr);
    int event = 0, errorBase = 0, major = 0, minor = 0;
    if (d && !::XTestQueryExtension(d, &event, &errorBase, &major, &minor)) {
        ::XCloseDisplay(d);
        d = nullptr;
    }
    display = d;
}

XTestInput::~XTestInput()
{
    if (display)
        ::XCloseDisplay(static_cast<Display *>(display));
}

bool XTestInput::setAutoRepeat(unsigned delayMs, unsigned intervalMs)
{
    Display *d = static_cast<Display *>(display);
    XKeyboardControl control{};
    control.auto_repeat_mode = AutoRepeatModeOn;
    ::XChangeKeyboardControl(d, KBAutoRepeatMode, &control);
    const bool set = ::XkbSetAutoRepeatRate(d, XkbUseCoreKbd, delayMs, intervalMs);
    ::XSync(d, False);
    return set;
}

void XTestInput::key(unsigned keycode, bool press)
{
    Display *d = static_cast<Display *>(display);
    ::XTestFakeKeyEvent(d, keycode, press ? True : False, CurrentTime);
    ::XSync(d, False);
}

void XTestInput::click(int x, int y)
{
    Display *d = static_cast<Display *>(display);
    ::XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
    ::XTestFakeButtonEvent(d, 1, True, CurrentTime);
    ::XTestFakeButtonEvent(d, 1, False, CurrentTime);
    ::XSync(d, False);
}

void XTestInput::sync()
{
    ::XSync(static_cast<Display *>(display), False);
}

void XTestInput::focusOwnWindow()
{
    Display *d = static_cast<Display *>(display);
    if (!window) {
        window = ::XCreateSimpleWindow(d, DefaultRootWindow(d), 600, 500, 100, 100, 0, 0, 0);
        ::XMapWindow(d, window);
        ::XSync(d, False);
    }
    focus(window);
}

void XTestInput::focus(unsigned long target)
{
    Display *d = static_cast<Display *>(display);
    ::XSetInputFocus(d, target, RevertToPointerRoot, CurrentTime);
    ::XSync(d, False);
}

bool XTestInput::grabKeyboard()
{
    Display *d = static_cast<Display *>(display);
    const bool grabbed =
        ::XGrabKeyboard(d, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync, CurrentTime) == GrabSuccess;
    ::XSync(d, False);
    return grabbed;
}

void XTestInput::ungrabKeyboard()
{
    Display *d = static_cast<Display *>(display);
    ::XUngrabKeyboard(d, CurrentTime);
    ::XSync(d, False);
}
