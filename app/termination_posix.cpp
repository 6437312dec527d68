// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/termination.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iterator>

#include <sys/signalfd.h>
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
// Readable while a stop signal waits, blocked, in the kernel.
int stopSignalFd = -1;

sigset_t stopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signalNumber : stopSignals)
        sigaddset(&set, signalNumber);
    return set;
}

bool isStopSignal(int signalNumber)
{
    return std::find(std::begin(stopSignals), std::end(stopSignals), signalNumber) != std::end(stopSignals);
}

extern "C" void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Non-blocking: with the pipe full, a signal is already on its way.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

void setDisposition(const sigset_t &signalNumbers, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = handler == SIG_DFL ? 0 : SA_RESTART;
    for (const int signalNumber : stopSignals) {
        if (sigismember(&signalNumbers, signalNumber))
            ::sigaction(signalNumber, &action, nullptr);
    }
}

} // namespace

void TerminationSignals::blockStopSignals()
{
    const sigset_t stops = stopSignalSet();
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationSignals::handleSignal);
    blockStopSignals();
    const sigset_t stops = stopSignalSet();
    // Without it a stop waits for ever: the program runs on, as if the
    // signal had been ignored.
    stopSignalFd = ::signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    if (stopSignalFd >= 0) {
        stopNotifier = new QSocketNotifier(stopSignalFd, QSocketNotifier::Read, this);
        connect(stopNotifier, &QSocketNotifier::activated, this, &TerminationSignals::stopProgram);
    }
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
    delete stopNotifier;
    if (stopSignalFd >= 0)
        ::close(stopSignalFd);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = stopSignalFd = -1;
}

void TerminationSignals::handleSignal()
{
    unsigned char signalNumber = 0;
    if (::read(signalPipe[0], &signalNumber, 1) != 1)
        return;
    if (isStopSignal(signalNumber)) {
        // Caught by a thread that does not block it: waiting as the others
        // do, it stops the program below.
        ::raise(signalNumber);
        stopProgram();
    } else if (signalNumber == SIGCONT) {
        // Stopped by SIGSTOP, which no handler sees: a key held before must
        // be pressed anew.
        bindingList().releaseHeldBindings();
    } else {
        terminate(signalNumber);
    }
}

void TerminationSignals::stopProgram()
{
    // The stop waits in the kernel, blocked, and a SIGCONT sent after it
    // discards it there: in a burst of Ctrl+Z and continues only the kernel
    // knows which came last, as handlers on several threads run in any order.
    sigset_t waiting;
    if (::sigpending(&waiting) != 0)
        return;
    const sigset_t stops = stopSignalSet();
    sigandset(&waiting, &waiting, &stops);
    if (sigisemptyset(&waiting))
        return;
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
    // Then stopped by the kernel as the signal would have stopped it, if no
    // SIGCONT has answered it meanwhile; back here once continued. In an
    // orphaned process group, where the terminal could never continue it,
    // the kernel leaves it running.
    setDisposition(waiting, SIG_DFL);
    ::pthread_sigmask(SIG_UNBLOCK, &waiting, nullptr);
    ::pthread_sigmask(SIG_BLOCK, &waiting, nullptr);
    setDisposition(waiting, onTerminationSignal);
    // A start that fails leaves the link lost, which the link check shows.
    if (running)
        lib.ftxStartTransferArea(connection.deviceHandle);
}
