// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>

#include <QByteArray>
#include <QObject>
#include <QStringList>

// Makes the library's slow calls, the port search, the open, the stop and
// the close, on a thread of its own, one at a time, so that the window keeps
// answering while a controller takes seconds to answer or never does. Each
// request carries a number that comes back with its result; the window drops
// results it no longer waits for.
class ConnectionWorker : public QObject
{
    Q_OBJECT

public:
    // On the worker's thread.
    void searchPorts(quint64 request);
    // A device opened for a request that is no longer the one wanted (the
    // user cancelled, the window closed) is closed again at once.
    void openPort(quint64 request, const QByteArray &portName);
    // Stops the transfer area, or with `close` closes the device; either
    // waits for the controller's answer to the last zeros: up to a second on
    // a silent USB link, four on Bluetooth.
    void stopDevice(quint64 request, quint32 handle, bool close);

    // The request the window waits for; any thread may set it.
    std::atomic<quint64> wanted{0};

signals:
    void portsSearched(quint64 request, const QStringList &names);
    void portOpened(quint64 request, bool called, quint32 handle, quint32 errorCode);
    void deviceStopped(quint64 request, bool closed, bool called, quint32 status);
};
