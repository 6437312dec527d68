// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class QSocketNotifier;

// Turns the system's requests to end or pause the program into an orderly
// stop of the motors. POSIX systems: SIGTERM, SIGINT, SIGHUP and SIGQUIT end
// the program through the event loop: held outputs to 0, the transfer area
// stopped, the device closed, then every event loop, nested ones of open
// boxes included, ends and the program exits with 128 + the signal's
// number; the job-control stops (SIGTSTP from Ctrl+Z, SIGTTIN, SIGTTOU)
// stop the outputs first as well, then the program, and once continued no
// key held before drives. The stop signals wait blocked in the kernel until
// the event loop takes them, so every thread must block them:
// blockStopSignals() runs first in main(), before any thread starts, and the
// threads inherit it. Windows: the end of the session (log-off, shutdown)
// stops the outputs and the transfer area and closes the device before
// Windows ends the process, and the machine going to sleep stops the
// outputs and the transfer area, which runs again on waking with nothing
// held. One per process; it keeps its handlers for its whole life. The
// platform's part lives in termination_<platform>.cpp, chosen by the build;
// where there is none, the object watches nothing.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    static void blockStopSignals();
    // Held outputs to 0, the transfer area stopped, the device closed: what
    // every end does first, whatever follows may take its time or fail.
    static void stopAndClose();

private:
    void handleSignal();
    void terminate(int signalNumber);
    void stopProgram();

    QSocketNotifier *notifier = nullptr;
    QSocketNotifier *stopNotifier = nullptr;
};
