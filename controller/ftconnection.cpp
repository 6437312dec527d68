// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/ftconnection.h"

#include <QRegExp>
#include <QString>

#include "bindings/keybinding.h"
#include "common/processobjects.h"
#include "controller/ftlib.h"

namespace {

constexpr uint32_t baudRate = 38400;
constexpr quint32 allExtensions = (1u << maxExtensions) - 1;
constexpr int portNameBufferSize = 256;

// Every status of the library has the top nibble 0xE; a count never does.
bool isErrorCode(uint32_t value)
{
    return (value & 0xF0000000u) == 0xE0000000u;
}

// An entry point that takes the device handle alone, where the library has it.
FtConnection::Answer ask(uint32_t (*entryPoint)(FtHandle), FtHandle handle)
{
    FtConnection::Answer answer;
    if (entryPoint) {
        answer.called = true;
        answer.status = entryPoint(handle);
    }
    return answer;
}

} // namespace

QString FtConnection::portOf(const QString &entry)
{
    QString port = entry;
    port.replace(QRegExp(QStringLiteral(" .*")), QString());
    return port;
}

bool FtConnection::openDevice(const QByteArray &portName)
{
    return takeOpened(open(portName));
}

QStringList FtConnection::scanPorts()
{
    QStringList names;
    const FtLib &lib = ftLib();
    if (lib.GetAvailableComPorts && lib.EnumComPorts) {
        char buffer[portNameBufferSize] = {};
        // The count is asked again before every index: the library rescans
        // the ports when asked, and the list may shrink while we read it.
        for (uint32_t i = 0; i < lib.GetAvailableComPorts(0); ++i) {
            // An error in place of an index would otherwise keep us
            // counting towards four billion.
            if (isErrorCode(lib.EnumComPorts(i, buffer, portNameBufferSize)))
                break;
            names.append(QString::fromLocal8Bit(buffer, qstrnlen(buffer, portNameBufferSize)));
        }
    }
    return names;
}

FtConnection::Opened FtConnection::open(const QByteArray &portName)
{
    Opened opened;
    const FtLib &lib = ftLib();
    if (!lib.ftxOpenComDevice)
        return opened;
    opened.called = true;
    opened.errorCode = FTLIB_ERR_SUCCESS;
    opened.handle = lib.ftxOpenComDevice(portName.constData(), baudRate, &opened.errorCode);
    if (opened.errorCode == FTLIB_ERR_SUCCESS)
        opened.kind = ControllerKind::of(opened.handle, portName);
    return opened;
}

void FtConnection::giveBack(const Opened &opened)
{
    const auto close = ftLib().ftxCloseDevice;
    if (opened.called && opened.errorCode == FTLIB_ERR_SUCCESS && close)
        close(opened.handle);
}

bool FtConnection::takePorts(const QStringList &names)
{
    portNames = names;
    portsFound = !portNames.isEmpty();
    return portsFound;
}

bool FtConnection::takeOpened(const Opened &opened)
{
    if (!opened.called)
        return connected;
    deviceHandle = opened.handle;
    if (opened.errorCode != FTLIB_ERR_SUCCESS)
        return connected;
    connected = true;
    kind = opened.kind;
    missingExtensions = kind.extensionsBeyond();
    askOnlineExtensions();
    return true;
}

bool FtConnection::askOnlineExtensions()
{
    uint32_t online = 0;
    const FtLib &lib = ftLib();
    if (!lib.ftxGetOnlineExtensions || lib.ftxGetOnlineExtensions(deviceHandle, &online) != FTLIB_ERR_SUCCESS)
        return false;
    // What it cannot have stays missing, whatever anyone answers.
    missingExtensions = (~online & allExtensions) | kind.extensionsBeyond();
    return true;
}

void FtConnection::noteDutyAnswer(qint32 controller, uint32_t status)
{
    if (controller < 1 || controller > maxExtensions)
        return;
    const quint32 bit = 1u << (controller - 1);
    if (status == FTLIB_ERR_NO_SUCH_DEVICE_INSTANCE)
        missingExtensions |= bit;
    else if (status == FTLIB_ERR_SUCCESS && !(bit & kind.extensionsBeyond()))
        missingExtensions &= ~bit;
}

bool FtConnection::closeDevice()
{
    return takeClosed(close(deviceHandle));
}

FtConnection::Answer FtConnection::close(FtHandle handle)
{
    return ask(ftLib().ftxCloseDevice, handle);
}

bool FtConnection::takeClosed(const Answer &answer)
{
    if (!answer.called || answer.status != FTLIB_ERR_SUCCESS)
        return !connected;
    transferAreaRunning = false;
    connected = false;
    missingExtensions = 0;
    return true;
}

bool FtConnection::startTransferArea()
{
    const FtLib &lib = ftLib();
    if (!lib.ftxStartTransferArea || lib.ftxStartTransferArea(deviceHandle) != FTLIB_ERR_SUCCESS)
        return transferAreaRunning;
    transferAreaRunning = true;
    return true;
}

bool FtConnection::stopTransferArea()
{
    return takeStopped(stop(deviceHandle));
}

FtConnection::Answer FtConnection::stop(FtHandle handle)
{
    return ask(ftLib().ftxStopTransferArea, handle);
}

bool FtConnection::takeStopped(const Answer &answer)
{
    if (!answer.called || answer.status != FTLIB_ERR_SUCCESS)
        return !transferAreaRunning;
    transferAreaRunning = false;
    return true;
}

uint32_t FtConnection::linkStatus() const
{
    const FtLib &lib = ftLib();
    return lib.GetComStatus ? lib.GetComStatus(deviceHandle) : FTLIB_ERR_SUCCESS;
}

void FtConnection::closeLostDevice()
{
    const FtLib &lib = ftLib();
    if (lib.ftxCloseDevice)
        lib.ftxCloseDevice(deviceHandle);
    transferAreaRunning = false;
    connected = false;
    missingExtensions = 0;
}
