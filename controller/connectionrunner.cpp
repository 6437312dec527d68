// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/connectionrunner.h"

#include <utility>

#include <QApplication>
#include <QThread>

#include "common/processobjects.h"

ConnectionRunner::ConnectionRunner(QObject *parent)
    : QObject(parent)
{
}

ConnectionRunner::~ConnectionRunner()
{
    end();
    if (!thread)
        return;
    ++wanted;
    thread->quit();
    thread->wait();
    // An open that ended before the request changed is still on its way.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    delete worker;
}

void ConnectionRunner::searchPorts()
{
    if (busy())
        return;
    begin(Work::Search);
    const quint64 request = wanted;
    post([this, request] {
        Result result;
        result.work = Work::Search;
        result.ports = FtConnection::scanPorts();
        answer(request, result);
    });
}

void ConnectionRunner::openPort(const QString &choice)
{
    if (busy())
        return;
    begin(Work::Open);
    const quint64 request = wanted;
    const QByteArray name = FtConnection::portOf(choice).toLatin1();
    post([this, request, name, choice] {
        Result result;
        result.work = Work::Open;
        result.choice = choice;
        result.opened = FtConnection::open(name);
        // Given back here when the connect was given up meanwhile: the next
        // one, already queued behind, may want the port.
        if (waitedFor(request, result.opened))
            answer(request, result);
    });
}

void ConnectionRunner::stopDevice(bool close)
{
    if (busy())
        return;
    begin(close ? Work::Close : Work::Stop);
    const quint64 request = wanted;
    const FtHandle handle = ftConnection().deviceHandle;
    post([this, request, handle, close] {
        Result result;
        result.work = close ? Work::Close : Work::Stop;
        result.answer = close ? FtConnection::close(handle) : FtConnection::stop(handle);
        answer(request, result);
    });
}

bool ConnectionRunner::cancelOpen()
{
    if (current != Work::Open)
        return false;
    ++wanted;
    end();
    return true;
}

void ConnectionRunner::begin(Work work)
{
    if (work == Work::Stop || work == Work::Close)
        ftConnection().stopping = true;
    current = work;
    ++wanted;
    QApplication::setOverrideCursor(Qt::BusyCursor);
}

void ConnectionRunner::end()
{
    if (current == Work::None)
        return;
    current = Work::None;
    ftConnection().stopping = false;
    QApplication::restoreOverrideCursor();
}

void ConnectionRunner::post(std::function<void()> call)
{
    // Made at the first request: a window that is never connected starts
    // no thread.
    if (!thread) {
        thread = new QThread(this);
        worker = new QObject;
        worker->moveToThread(thread);
        thread->start();
    }
    QMetaObject::invokeMethod(worker, std::move(call), Qt::QueuedConnection);
}

void ConnectionRunner::answer(quint64 request, const Result &result)
{
    QMetaObject::invokeMethod(
        this,
        [this, request, result] {
            if (!waitedFor(request, result.opened))
                return;
            end();
            emit finished(result);
        },
        Qt::QueuedConnection);
}

bool ConnectionRunner::waitedFor(quint64 request, const FtConnection::Opened &opened) const
{
    if (request == wanted.load())
        return true;
    FtConnection::giveBack(opened);
    return false;
}
