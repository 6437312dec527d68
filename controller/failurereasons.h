// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include "controller/controllerkind.h"

// Why a connection failed, in words the user can act on, for the additional
// text of the boxes whose own text stays as it is. Empty when there is
// nothing more to say.

// The library's status for an open of `port` (the name as the user chose it,
// without the description: a serial port, or a ROBOTICS TXT's address).
// Nothing was opened, so only the name tells what was meant.
QString openFailureReason(const QString &port, quint32 errorCode);

// What the library saw when it gave the link to a controller of `kind` up
// (GetComStatus's status).
QString linkLossReason(const ControllerKind &kind, quint32 status);
