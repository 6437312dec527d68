// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/processobjects.h"

#include "bindings/bindinglist.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"

namespace {

// The order of these definitions is the order of construction. FtLib comes
// after the state it could be asked about and loads the controller library
// before any application object exists.
const QString theAppVersion(QStringLiteral(KAVRIK_VERSION));
FtConnection theFtConnection;
BindingList theBindingList;
FtLib theFtLib;
QString theCurrentFileName;
QString theLastFileError;
QString theLastFileReason;
bool theListSaved = false;

} // namespace

const QString &appVersion() { return theAppVersion; }
FtConnection &ftConnection() { return theFtConnection; }
BindingList &bindingList() { return theBindingList; }
FtLib &ftLib() { return theFtLib; }
QString &currentFileName() { return theCurrentFileName; }
QString &lastFileError() { return theLastFileError; }
QString &lastFileReason() { return theLastFileReason; }
bool &listSaved() { return theListSaved; }
