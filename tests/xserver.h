// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include <sys/types.h>

// A private Xvfb for tests that need real window-system key events, and
// XTest to type on it. Kept free of Qt and of the X headers, whose macros
// clash with the toolkit's names.
class XServer {
public:
    XServer() = default;
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;
    ~XServer();

    // Starts Xvfb on a free display and waits until it takes clients; on
    // success DISPLAY names it. On failure `error` says why.
    bool start(std::string &error);

private:
    pid_t pid = -1;
};

// A client connection that types and clicks through XTest, as a person at
// the keyboard would: the server routes the events, auto-repeat included.
class XTestInput {
public:
    XTestInput();
    ~XTestInput();
    XTestInput(const XTestInput &) = delete;
    XTestInput &operator=(const XTestInput &) = delete;

    bool isOpen() const { return display != nullptr; }
    // Server-wide auto-repeat: first repeat after `delayMs`, then every
    // `intervalMs`.
    bool setAutoRepeat(unsigned delayMs, unsigned intervalMs);
    // X keycodes (the Linux input event code + 8).
    void key(unsigned keycode, bool press);
    void click(int x, int y);
    // Waits until the server has handled everything sent so far.
    void sync();
    // Gives the keyboard focus to a window of this client, which to the
    // program under test is another program's.
    void focusOwnWindow();
    // Gives the keyboard focus to `window`, as a window manager does when
    // the user clicks into it.
    void focus(unsigned long window);
    // Takes the keyboard from every other client and gives it back, as a
    // screen locker or a screenshot tool does.
    bool grabKeyboard();
    void ungrabKeyboard();

private:
    void *display = nullptr;
    unsigned long window = 0;
};
