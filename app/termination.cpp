// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/termination.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iterator>

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"

namespace {

// The ones that end the program, those of job control that stop it, and
// SIGCONT, after which no key held before drives. SIGSTOP cannot be caught.
constexpr int stopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
constexpr int handledSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};

// The handler may only write; the event loop does the rest.
int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Non-blocking: with the pipe full, a signal is already on its way.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationSignals::handleSignal);
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : handledSignals)
        ::sigaction(signalNumber, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    if (signalPipe[0] < 0)
        return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : handledSignals)
        ::sigaction(signalNumber, &action, nullptr);
    delete notifier;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void TerminationSignals::handleSignal()
{
    unsigned char signalNumber = 0;
    if (::read(signalPipe[0], &signalNumber, 1) != 1)
        return;
    if (std::find(std::begin(stopSignals), std::end(stopSignals), signalNumber) != std::end(stopSignals))
        stopProgram(signalNumber);
    else if (signalNumber == SIGCONT)
        // Stopped by SIGSTOP, which no handler sees: a key held before must
        // be pressed anew.
        bindingList().releaseHeldBindings();
    else
        terminate(signalNumber);
}

void TerminationSignals::terminate(int signalNumber)
{
    // The motors first: whatever follows may take its time or fail.
    bindingList().releaseHeldBindings();
    FtConnection &connection = ftConnection();
    if (connection.transferAreaRunning)
        connection.stopTransferArea();
    if (connection.connected)
        connection.closeDevice();
    QCoreApplication::exit(128 + signalNumber);
    // A signal during start-up arrives in the loop of a message box, before
    // the program's own loop runs: that one ends as soon as it starts.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [code = 128 + signalNumber] { QCoreApplication::exit(code); },
        Qt::QueuedConnection);
}

void TerminationSignals::stopProgram(int signalNumber)
{
    // The motors first, and for sure: the library's stop sends its zeros
    // and waits for the answer. The transfer area counts as running all the
    // while and runs again once the program continues, with nothing held.
    bindingList().releaseHeldBindings();
    const FtConnection &connection = ftConnection();
    const FtLib &lib = ftLib();
    // A stop or a disconnect under way on the connection's thread sends the
    // zeros itself, and the transfer must not run again after it.
    const bool running = connection.transferAreaRunning && !connection.stopping && lib.ftxStopTransferArea
        && lib.ftxStartTransferArea;
    if (running)
        lib.ftxStopTransferArea(connection.deviceHandle);
    // Then stopped as the signal would have stopped it; back here once
    // continued (SIGCONT). In an orphaned process group, where the terminal
    // could never continue it, the kernel leaves it running.
    struct sigaction original = {};
    struct sigaction stop = {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    ::sigaction(signalNumber, &stop, &original);
    ::raise(signalNumber);
    ::sigaction(signalNumber, &original, nullptr);
    // A start that fails leaves the link lost, which the link check shows.
    if (running)
        lib.ftxStartTransferArea(connection.deviceHandle);
}
