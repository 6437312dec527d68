// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QStringList>

#include "controller/controllerkind.h"
#include "ftmsclib/ftmsclib.h"

// The state of the link to the controller: the ports of the last search,
// whether a device is open and its transfer area runs, and the device handle.
// Every operation reports success; a failed library call changes no flag.
class FtConnection
{
public:
    // What an open returned.
    struct Opened {
        bool called = false; // the library has the entry point
        FtHandle handle = 0;
        uint32_t errorCode = FTLIB_ERR_UNKNOWN;
        ControllerKind kind; // of the opened device
    };

    // A port list entry names the port and then, after a blank, describes it.
    static QString portOf(const QString &entry);
    // portName: the port, Latin-1, without the description after it.
    bool openDevice(const QByteArray &portName);
    // The same in two steps: the library's calls alone, which may take
    // seconds and change nothing here (any thread may make them), and their
    // results taken over (on the GUI thread).
    static QStringList scanPorts();
    static Opened open(const QByteArray &portName);
    bool takePorts(const QStringList &names);
    bool takeOpened(const Opened &opened);
    // Closes a device opened for a connect nobody waits for any more.
    static void giveBack(const Opened &opened);
    // What a stop or a close returned.
    struct Answer {
        bool called = false; // the library has the entry point
        uint32_t status = FTLIB_ERR_UNKNOWN;
    };
    bool closeDevice();
    bool startTransferArea();
    bool stopTransferArea();
    // Those two in two steps as well: the library's call alone, which waits
    // for the controller's answer (any thread may make it), and its answer
    // taken over (on the GUI thread).
    static Answer stop(FtHandle handle);
    static Answer close(FtHandle handle);
    bool takeStopped(const Answer &answer);
    bool takeClosed(const Answer &answer);
    // The library's status of the open device: what it saw when it gave the
    // link up (FTLIB_ERR_SUCCESS when it cannot tell).
    uint32_t linkStatus() const;
    // After the link was lost: closes what is left of the device and clears
    // both flags, whatever the library answers, since nothing can be driven
    // through it any more.
    void closeLostDevice();

    bool portsFound = false;
    bool connected = false;
    bool transferAreaRunning = false;
    // A stop or a close is under way elsewhere: keys drive nothing meanwhile.
    bool stopping = false;
    bool keysDrive() const { return transferAreaRunning && !stopping; }
    QStringList portNames;
    // The port list entry the open device was connected through, or the
    // text typed into the port box.
    QString connectedPort;
    // That text was typed, not one of the last search's entries: the panel
    // does not wait for a search to find it.
    bool portTyped = false;
    // What the open device is and what it can take.
    ControllerKind kind;
    // While connected: the extensions the library said it does not reach,
    // bit k-1 for extension k (asked right after connecting where the
    // library can tell, on a TXT again while the transfer runs, else learnt
    // from the answers to the duties).
    quint32 missingExtensions = 0;
    void noteDutyAnswer(qint32 controller, uint32_t status);
    // Asks the library which extensions it reaches now; false when it cannot
    // tell, and nothing changes then.
    bool askOnlineExtensions();
    // Whatever the last open returned, even when it failed.
    FtHandle deviceHandle = 0;
};
