// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/connectionworker.h"

#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"

void ConnectionWorker::searchPorts(quint64 request)
{
    emit portsSearched(request, FtConnection::scanPorts());
}

void ConnectionWorker::openPort(quint64 request, const QByteArray &portName)
{
    const FtConnection::Opened opened = FtConnection::open(portName);
    if (request != wanted.load() && opened.called && opened.errorCode == FTLIB_ERR_SUCCESS) {
        if (const auto close = ftLib().ftxCloseDevice)
            close(opened.handle);
        return;
    }
    emit portOpened(request, opened.called, opened.handle, opened.errorCode);
}
