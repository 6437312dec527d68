// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/termination.h"

#include <QCoreApplication>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"

void TerminationSignals::stopAndClose()
{
    bindingList().releaseHeldBindings();
    FtConnection &connection = ftConnection();
    if (connection.transferAreaRunning)
        connection.stopTransferArea();
    if (connection.connected)
        connection.closeDevice();
}

void TerminationSignals::terminate(int signalNumber)
{
    // The motors first: whatever follows may take its time or fail.
    stopAndClose();
    QCoreApplication::exit(128 + signalNumber);
    // A signal during start-up arrives in the loop of a message box, before
    // the program's own loop runs: that one ends as soon as it starts.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [code = 128 + signalNumber] { QCoreApplication::exit(code); },
        Qt::QueuedConnection);
}
