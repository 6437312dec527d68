// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class BindingList;
class FtConnection;
class FtLib;

// Accessors of the process-wide objects. They are all defined in one
// translation unit, so they are built before main() in a fixed order and
// destroyed at exit in the reverse order.
const QString &appVersion();
FtConnection &ftConnection();
BindingList &bindingList();
FtLib &ftLib();
QString &currentFileName();
QString &lastFileError();
// Why, as far as the system says: the file's name and its reason, for the
// box's additional text; empty when the error's text says it all.
QString &lastFileReason();
// True while the binding list equals the list file last opened or saved.
bool &listSaved();
