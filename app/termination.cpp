// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/termination.h"

#include <cerrno>
#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"

namespace {

constexpr int terminationSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

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
    connect(notifier, &QSocketNotifier::activated, this, &TerminationSignals::terminate);
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : terminationSignals)
        ::sigaction(signalNumber, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    if (signalPipe[0] < 0)
        return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : terminationSignals)
        ::sigaction(signalNumber, &action, nullptr);
    delete notifier;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void TerminationSignals::terminate()
{
    unsigned char signalNumber = 0;
    if (::read(signalPipe[0], &signalNumber, 1) != 1)
        return;
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
