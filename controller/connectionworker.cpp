// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/connectionworker.h"

#include "controller/ftconnection.h"

void ConnectionWorker::searchPorts(quint64 request)
{
    emit portsSearched(request, FtConnection::scanPorts());
}

void ConnectionWorker::openPort(quint64 request, const QByteArray &portName)
{
    const FtConnection::Opened opened = FtConnection::open(portName);
    if (request != wanted.load()) {
        FtConnection::giveBack(opened);
        return;
    }
    emit portOpened(request, opened.called, opened.handle, opened.errorCode);
}

void ConnectionWorker::stopDevice(quint64 request, quint32 handle, bool close)
{
    const FtConnection::Answer answer = close ? FtConnection::close(handle) : FtConnection::stop(handle);
    emit deviceStopped(request, close, answer.called, answer.status);
}
