// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <functional>

#include <QObject>
#include <QString>
#include <QStringList>

#include "controller/ftconnection.h"

class QThread;

// Makes the library's slow calls, the port search, the open, the stop and
// the close, on the connection's own thread, one at a time, so that the
// window keeps answering while a controller takes seconds to answer or never
// does. Owns that thread and the object that works on it, numbers the
// requests, and knows the work under way and the port it opens. Lives on
// the GUI thread: only the library's calls run on the connection's thread,
// and every result comes back here. A device opened for a request nobody
// waits for any more (a cancelled connect, a runner being destroyed) is
// closed again at once.
class ConnectionRunner : public QObject
{
    Q_OBJECT

public:
    enum class Work { None, Search, Open, Stop, Close };

    // What a piece of work came back with: the fields of its kind.
    struct Result {
        Work work = Work::None;
        QStringList ports;           // Search
        QString choice;              // Open: the port list entry
        FtConnection::Opened opened; // Open
        FtConnection::Answer answer; // Stop, Close
    };

    explicit ConnectionRunner(QObject *parent = nullptr);
    // A search, an open, a stop or a close still under way ends first (the
    // library's calls are bounded).
    ~ConnectionRunner() override;

    Work work() const { return current; }
    bool busy() const { return current != Work::None; }

    // Each does nothing while other work is under way; each shows the busy
    // cursor until `finished`.
    void searchPorts();
    // `choice`: a port list entry, the port followed by its description.
    void openPort(const QString &choice);
    // Stops the transfer area, or with `close` closes the device; keys drive
    // nothing meanwhile. Either waits for the controller's answer to the
    // last zeros: up to a second on a silent USB link, four on Bluetooth.
    void stopDevice(bool close);
    // The connect under way is given up: false when there is none.
    bool cancelOpen();

signals:
    // The work ended; nothing is under way any more.
    void finished(const ConnectionRunner::Result &result);

private:
    void begin(Work work);
    void end();
    // On the connection's thread.
    void post(std::function<void()> call);
    // Hands a result to the GUI thread, where it counts only if its request
    // is still the one waited for.
    void answer(quint64 request, const Result &result);
    // Whether `request` is still the one waited for; if not, the device its
    // open returned, if any, is closed again. On either thread.
    bool waitedFor(quint64 request, const FtConnection::Opened &opened) const;

    QThread *thread = nullptr;
    // Lives on the connection's thread: the calls run in its name.
    QObject *worker = nullptr;
    Work current = Work::None;
    // Numbers the requests; written on the GUI thread only.
    std::atomic<quint64> wanted{0};
};
