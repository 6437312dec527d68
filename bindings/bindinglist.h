// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <deque>
#include <functional>
#include <utility>

#include <QList>
#include <QString>

#include "bindings/keybinding.h"
#include "control/heldbindings.h"

// The one ordered list of key bindings (position r is row r of the table)
// together with the bindings whose keys are held down right now. Declared
// only here; each group of members says where it is defined.
class BindingList
{
public:
    // Here and in bindings/bindinglist.cpp.
    int size() const { return static_cast<int>(records.size()); }
    KeyBinding &at(int position) { return records[static_cast<size_t>(position)]; }
    const KeyBinding &at(int position) const { return records[static_cast<size_t>(position)]; }
    void append(const KeyBinding &binding) { records.push_back(binding); }
    void erase(int position);
    // Erases the given positions (ascending, no repeats) in one pass; the
    // other records keep their order.
    void eraseAll(const QList<int> &ascendingPositions);
    void clear() { records.clear(); }

    // Defined in bindings/listfile.cpp. One line of a list file, without its
    // line end.
    QString bindingToLine(int position) const;
    KeyBinding bindingFromLine(const QString &line) const;

    // Defined in control/keycontrol.cpp (but the two one-liners).
    // Drives the outputs bound to a key that was pressed; a release sends
    // the fallback duty to every output its held copies drive, and nothing
    // for a key that holds nothing.
    void handleKey(quint32 key, bool pressed);
    int updateHeldBindings(const KeyBinding &binding, bool pressed);
    // A pad input's level (0 at rest): a press or release as for a key when
    // it leaves or enters the dead zone; in between, a stick or trigger that
    // drives its output sends the output's new value, once per change.
    void handleInput(quint32 code, int level);
    // Sends 0 once to every output that has a held key, then forgets them
    // all; nothing moves again until a key is pressed anew. Every change to
    // the list does this first: held keys were pressed on the old list.
    void releaseHeldBindings();
    // Forgets the held keys without sending anything.
    void forgetHeldBindings()
    {
        heldBindings.clear();
        heldChanged();
    }
    // Called after each change of the held keys that sent something, and
    // when they are released or forgotten all at once: the table shows
    // which bindings drive.
    void setHeldObserver(std::function<void()> observer) { heldObserver = std::move(observer); }
    const HeldBindings &held() const { return heldBindings; }
    // A copy of this binding (same key and speed) is held on its output.
    bool isHeld(const KeyBinding &binding) const;

private:
    void heldChanged()
    {
        if (heldObserver)
            heldObserver();
    }

    // What a held copy sends: its speed, or for a stick or trigger the share
    // of it that the input's level gives.
    int heldDuty(const KeyBinding &held) const;

    std::deque<KeyBinding> records;
    HeldBindings heldBindings;
    // The levels of the sticks and triggers out of their dead zone.
    QHash<quint32, int> inputLevels;
    std::function<void()> heldObserver;
};
