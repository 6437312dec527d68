// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QStringList>

#include "ftmsclib/ftmsclib.h"

// The state of the link to the controller: the ports of the last search,
// whether a device is open and its transfer area runs, and the device handle.
// Every operation reports success; a failed library call changes no flag.
class FtConnection
{
public:
    bool findPorts();
    // portName: the port, Latin-1, without the description after it.
    bool openDevice(const QByteArray &portName);
    bool closeDevice();
    bool startTransferArea();
    bool stopTransferArea();
    // Whether the library still reaches the open device; true when it
    // cannot tell.
    bool linkAlive() const;
    // After the link was lost: closes what is left of the device and clears
    // both flags, whatever the library answers, since nothing can be driven
    // through it any more.
    void closeLostDevice();

    bool portsFound = false;
    bool connected = false;
    bool transferAreaRunning = false;
    QStringList portNames;
    // The port list entry the open device was connected through.
    QString connectedPort;
    // Whatever the last open returned, even when it failed.
    FtHandle deviceHandle = 0;
};
