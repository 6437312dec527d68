#pragma once

#include <QByteArray>
#include <QStringList>

#include "ftmsclib.h"

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

    bool portsFound = false;
    bool connected = false;
    bool transferAreaRunning = false;
    QStringList portNames;
    // Whatever the last open returned, even when it failed.
    FtHandle deviceHandle = 0;
};
