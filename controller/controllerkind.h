// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

#include "bindings/keybinding.h"
#include "ftmsclib/ftmsclib.h"

// What the connected controller is and what it can take: asked of the
// library once, right after the open, and taken from the port's name only
// where the library cannot say. A plain value: the open's thread makes it,
// the GUI thread keeps it in FtConnection and hands it to the table's marks.
struct ControllerKind {
    enum class Model { RoboTx, Txt };

    Model model = Model::RoboTx;
    // It can have Extensions 1 to maxExtensions, never more.
    int maxExtensions = ::maxExtensions;
    // It names its extensions only in the transfer's answers: until then
    // none is known, and while the transfer runs they are asked again.
    bool extensionsOnlyWhileRunning = false;

    static ControllerKind roboTx() { return ControllerKind(); }
    static ControllerKind txt() { return ControllerKind{Model::Txt, 1, true}; }
    // The device the library opened under `handle` on `portName` (Latin-1,
    // without the description). Calls the library, so any thread may ask.
    static ControllerKind of(FtHandle handle, const QByteArray &portName);

    bool isTxt() const { return model == Model::Txt; }
    // The extensions it cannot have, bit k-1 for extension k.
    quint32 extensionsBeyond() const;

    bool operator==(const ControllerKind &other) const
    {
        return model == other.model && maxExtensions == other.maxExtensions
            && extensionsOnlyWhileRunning == other.extensionsOnlyWhileRunning;
    }
    bool operator!=(const ControllerKind &other) const { return !(*this == other); }
};
