// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QtGlobal>

// A game pad inside the process, SDL's virtual joystick: no hardware, no
// /dev/uinput. The program's pads thread finds it within a few
// milliseconds, as it finds a pad plugged in.
class VirtualPad
{
public:
    // `held`: pad inputs (padinputs.h codes) already at full travel as it
    // comes.
    explicit VirtualPad(const QList<quint32> &held = {});
    ~VirtualPad();
    // A button down (any percent above 0) or up; a stick direction or a
    // trigger at that share of its travel. Returns once the program's pads
    // thread has read it.
    void set(quint32 input, int percent);
    // The same, at once: the program reads it when it next reads the pad.
    void change(quint32 input, int percent);
    // As a pad unplugged or out of range: gone without letting go first.
    void unplug();

private:
    void setNow(quint32 input, int percent);

    int index = -1;
    struct _SDL_Joystick *joystick = nullptr;
};
