// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class QSocketNotifier;

// Turns the system's requests to end the program (on POSIX systems SIGTERM,
// SIGINT, SIGHUP and SIGQUIT) into an orderly end through the event loop: held outputs to 0, the transfer area stopped, the device
// closed, then every event loop, nested ones of open boxes included, ends
// and the program exits with 128 + the signal's number. There, the job-control
// stops (SIGTSTP from Ctrl+Z, SIGTTIN, SIGTTOU) stop the outputs first as
// well, then the program; once continued, no key held before drives. One
// per process; it keeps the handlers for its whole life. The stop signals
// wait blocked in the kernel until the event loop takes them, so every
// thread must block them: blockStopSignals() runs first in main(), before
// any thread starts, and the threads inherit it. The platform's part lives
// in termination_<platform>.cpp, chosen by the build; where it has none, the
// object watches nothing.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    static void blockStopSignals();

private:
    void handleSignal();
    void terminate(int signalNumber);
    void stopProgram();

    QSocketNotifier *notifier = nullptr;
    QSocketNotifier *stopNotifier = nullptr;
};
