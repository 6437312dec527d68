// SPDX-License-Identifier: GPL-3.0-or-later
// Windows: the session's end and the machine's sleep, from the messages
// every top-level window gets.
#include "app/termination.h"

#include <memory>

#include <windows.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"

namespace {

// Stopped for the machine's sleep, to run again on waking.
bool pausedForSleep = false;

// Like a job-control stop: the outputs and the transfer stop, and the
// program keeps its connection.
void pauseForSleep()
{
    bindingList().releaseHeldBindings();
    const FtConnection &connection = ftConnection();
    const FtLib &lib = ftLib();
    // A stop or a disconnect under way on the connection's thread sends the
    // zeros itself, and the transfer must not run again after it.
    if (pausedForSleep || !connection.transferAreaRunning || connection.stopping || !lib.ftxStopTransferArea
        || !lib.ftxStartTransferArea)
        return;
    lib.ftxStopTransferArea(connection.deviceHandle);
    pausedForSleep = true;
}

void resumeAfterSleep()
{
    if (!pausedForSleep)
        return;
    pausedForSleep = false;
    const FtConnection &connection = ftConnection();
    // A start that fails leaves the link lost, which the link check shows.
    if (connection.transferAreaRunning)
        ftLib().ftxStartTransferArea(connection.deviceHandle);
}

class SessionWatch : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray &eventType, void *message, long *) override
    {
        if (eventType != "windows_generic_MSG")
            return false;
        const MSG *msg = static_cast<const MSG *>(message);
        switch (msg->message) {
        case WM_ENDSESSION:
            // Windows ends the process as soon as the last window has
            // answered: everything happens before this returns.
            if (msg->wParam)
                TerminationSignals::stopAndClose();
            break;
        case WM_POWERBROADCAST:
            // About two seconds are left before the machine sleeps.
            if (msg->wParam == PBT_APMSUSPEND)
                pauseForSleep();
            else if (msg->wParam == PBT_APMRESUMEAUTOMATIC || msg->wParam == PBT_APMRESUMESUSPEND)
                resumeAfterSleep();
            break;
        default:
            break;
        }
        // The toolkit goes on with its own handling (it quits at the
        // session's end).
        return false;
    }
};

std::unique_ptr<SessionWatch> sessionWatch;

} // namespace

void TerminationSignals::blockStopSignals()
{
}

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    sessionWatch = std::make_unique<SessionWatch>();
    QCoreApplication::instance()->installNativeEventFilter(sessionWatch.get());
}

TerminationSignals::~TerminationSignals()
{
    QCoreApplication::instance()->removeNativeEventFilter(sessionWatch.get());
    sessionWatch.reset();
}
