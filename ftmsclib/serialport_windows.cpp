// SPDX-License-Identifier: GPL-3.0-or-later
// A COM port on Windows: opened overlapped and unshared, so that every read,
// write and wait is bounded and a second opener is refused; the guardians
// and the crash handler write to a duplicate of the same handle.
#include "ftmsclib/serialport.h"

#include <algorithm>
#include <cerrno>

#include "ftmsclib/comports.h"
#include "ftmsclib/handle_windows.h"
#include "ftmsclib/transport_windows.h"

namespace ftlib {

struct SerialPort::Found {
    bool haveOldSettings = false;
    DCB oldState{};
    COMMTIMEOUTS oldTimeouts{};
    // Manual-reset events of the overlapped reads and waits, and of the
    // writes: each call's OVERLAPPED lives on its stack and is finished
    // (completed or cancelled and collected) before the call returns.
    HANDLE readEvent = nullptr;
    HANDLE writeEvent = nullptr;
    // The byte that a wait's read took, for the next read().
    std::uint8_t stash = 0;
    bool stashed = false;
};

namespace {

// A read returns at once with what is there, and with nothing there waits
// for the first byte, this long at most: wait() reads one byte to wait for
// input (WaitCommEvent ends early under Wine), read() cancels a read that
// would wait. Either way our own timed wait is the bound.
constexpr DWORD kFirstByteWait = 60000;

std::wstring widePath(const std::string &path)
{
    // "COM5" and "\\.\COM5" alike; COM10 and up open only with the prefix.
    const std::string name = comPortName(path);
    const std::string full = name.empty() ? path : "\\\\.\\" + name;
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, full.data(), static_cast<int>(full.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(size, 0)), L'\0');
    if (size > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, full.data(), static_cast<int>(full.size()), &wide[0], size);
    return wide;
}

// 38400 8N1, binary, no flow control of any kind: 0x11/0x13 are the
// protocol's bytes, not XON/XOFF, and a TX drives neither CTS nor DSR.
// DTR and RTS stay on, as a CDC-ACM device expects of an open port.
void makeRaw(DCB &dcb)
{
    dcb.BaudRate = CBR_38400;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // An error (a framing error, an overrun) must not stop all I/O until
    // ClearCommError: the decoder drops what it cannot use.
    dcb.fAbortOnError = FALSE;
}

PortError openError(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return PortError::NotFound;
    // Windows says access denied when another handle holds the port: there
    // are no permissions on COM ports for a user to lack.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return PortError::Busy;
    // A Bluetooth port whose paired device did not take the call.
    case ERROR_SEM_TIMEOUT:
        return PortError::NoAnswer;
    default:
        return PortError::Failed;
    }
}

// Waits for an overlapped call to end, `ms` at most, and cancels it when it
// does not: no OVERLAPPED outlives the call that started it. False, with
// `error`, when it failed or was cancelled (ERROR_OPERATION_ABORTED... or
// WAIT_TIMEOUT for one that did not end in time).
bool finish(HANDLE port, OVERLAPPED &o, DWORD ms, DWORD &done, DWORD &error)
{
    done = 0;
    const DWORD r = ::WaitForSingleObject(o.hEvent, ms);
    if (r != WAIT_OBJECT_0) {
        ::CancelIoEx(port, &o);
        if (::GetOverlappedResult(port, &o, &done, TRUE)) {
            error = 0;
            return true;
        }
        const DWORD why = ::GetLastError();
        error = r == WAIT_TIMEOUT && why == ERROR_OPERATION_ABORTED ? WAIT_TIMEOUT : why;
        return false;
    }
    if (::GetOverlappedResult(port, &o, &done, FALSE)) {
        error = 0;
        return true;
    }
    error = ::GetLastError();
    return false;
}

} // namespace

SerialPort::SerialPort()
    : found_(std::make_unique<Found>())
{
}

SerialPort::~SerialPort()
{
    close();
    if (found_->readEvent)
        ::CloseHandle(found_->readEvent);
    if (found_->writeEvent)
        ::CloseHandle(found_->writeEvent);
}

void SerialPort::abandon()
{
    fd_ = -1;
    found_->haveOldSettings = false;
}

PortError SerialPort::open(const std::string &path, int &sysError)
{
    close();
    sysError = 0;
    lastError_ = 0;
    if (!found_->readEvent)
        found_->readEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!found_->writeEvent)
        found_->writeEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!found_->readEvent || !found_->writeEvent) {
        sysError = static_cast<int>(::GetLastError());
        return PortError::Failed;
    }
    // No sharing: Windows refuses every further open while this handle (or
    // a guardian's duplicate of it) is open.
    const HANDLE port = ::CreateFileW(widePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        sysError = static_cast<int>(error);
        return openError(error);
    }
    DCB state{};
    state.DCBlength = sizeof state;
    COMMTIMEOUTS timeouts{};
    if (!::GetCommState(port, &state) || !::GetCommTimeouts(port, &timeouts)) {
        sysError = static_cast<int>(::GetLastError());
        ::CloseHandle(port);
        return PortError::NotATerminal;
    }
    found_->oldState = state;
    found_->oldTimeouts = timeouts;
    makeRaw(state);
    COMMTIMEOUTS reads{};
    reads.ReadIntervalTimeout = MAXDWORD;
    reads.ReadTotalTimeoutMultiplier = MAXDWORD;
    reads.ReadTotalTimeoutConstant = kFirstByteWait;
    // Writes are bounded by their own timed wait, not by the driver.
    if (!::SetCommState(port, &state) || !::SetCommTimeouts(port, &reads)) {
        sysError = static_cast<int>(::GetLastError());
        ::SetCommState(port, &found_->oldState);
        ::SetCommTimeouts(port, &found_->oldTimeouts);
        ::CloseHandle(port);
        return PortError::Failed;
    }
    found_->haveOldSettings = true;
    ::PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    found_->stashed = false;
    fd_ = descriptorOf(port);
    return PortError::None;
}

void SerialPort::close()
{
    if (fd_ == -1)
        return;
    const HANDLE port = handleOf(fd_);
    if (found_->haveOldSettings) {
        ::SetCommState(port, &found_->oldState);
        ::SetCommTimeouts(port, &found_->oldTimeouts);
    }
    found_->haveOldSettings = false;
    found_->stashed = false;
    ::CloseHandle(port);
    fd_ = -1;
}

bool SerialPort::writeAll(const std::uint8_t *data, std::size_t size, std::chrono::milliseconds timeout)
{
    if (fd_ == -1) {
        lastError_ = ERROR_INVALID_HANDLE;
        return false;
    }
    const HANDLE port = handleOf(fd_);
    const auto deadline = Clock::now() + timeout;
    while (size > 0) {
        OVERLAPPED o{};
        o.hEvent = found_->writeEvent;
        ::ResetEvent(o.hEvent);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
        DWORD done = 0;
        if (!::WriteFile(port, data, chunk, nullptr, &o)) {
            DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) {
                lastError_ = static_cast<int>(error);
                return false;
            }
            if (!finish(port, o, static_cast<DWORD>(remainingMs(deadline)), done, error)) {
                lastError_ = error == WAIT_TIMEOUT ? ETIMEDOUT : static_cast<int>(error);
                return false;
            }
        } else if (!::GetOverlappedResult(port, &o, &done, FALSE)) {
            lastError_ = static_cast<int>(::GetLastError());
            return false;
        }
        data += done;
        size -= done;
        if (size > 0 && Clock::now() >= deadline) {
            lastError_ = ETIMEDOUT;
            return false;
        }
    }
    return true;
}

namespace {

// Reads into `buffer` what is there; a read that would wait is cancelled at
// once (a byte that came meanwhile is kept). False, with `error`, when the
// port failed.
bool readNow(HANDLE port, HANDLE event, std::uint8_t *buffer, DWORD size, DWORD &got, DWORD &error)
{
    got = 0;
    error = 0;
    OVERLAPPED o{};
    o.hEvent = event;
    ::ResetEvent(event);
    if (::ReadFile(port, buffer, size, nullptr, &o))
        return ::GetOverlappedResult(port, &o, &got, FALSE) || (error = ::GetLastError(), false);
    error = ::GetLastError();
    if (error != ERROR_IO_PENDING)
        return false;
    ::CancelIoEx(port, &o);
    if (::GetOverlappedResult(port, &o, &got, TRUE)) {
        error = 0;
        return true;
    }
    error = ::GetLastError();
    if (error != ERROR_OPERATION_ABORTED)
        return false;
    error = 0;
    return true;
}

} // namespace

ReadResult SerialPort::read(std::uint8_t *buffer, std::size_t capacity, std::size_t &got)
{
    got = 0;
    if (fd_ == -1) {
        lastError_ = ERROR_INVALID_HANDLE;
        return ReadResult::Closed;
    }
    if (capacity == 0)
        return ReadResult::Nothing;
    if (found_->stashed) {
        buffer[got++] = found_->stash;
        found_->stashed = false;
    }
    DWORD done = 0, error = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(capacity - got, 1u << 20));
    const bool ok = wanted == 0 || readNow(handleOf(fd_), found_->readEvent, buffer + got, wanted, done, error);
    got += done;
    if (got > 0)
        return ReadResult::Data;
    // Any failure of a running port is its loss (unplugged, removed,
    // aborted by the driver). An empty read only means that nothing came:
    // Windows has no end of file on a COM port.
    if (!ok) {
        lastError_ = static_cast<int>(error);
        return ReadResult::Closed;
    }
    return ReadResult::Nothing;
}

Transport::Wake SerialPort::wait(Clock::time_point deadline, int wakeFd, int watchFd)
{
    if (fd_ == -1)
        return Wake::HungUp;
    if (found_->stashed)
        return Wake::Input;
    const HANDLE port = handleOf(fd_);
    // A read of one byte is the wait for input: it ends as the first byte
    // comes.
    OVERLAPPED o{};
    o.hEvent = found_->readEvent;
    ::ResetEvent(o.hEvent);
    DWORD done = 0;
    Signalled signalled = Signalled::Port;
    if (!::ReadFile(port, &found_->stash, 1, nullptr, &o)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
            // The port is gone: the read that follows says how.
            lastError_ = static_cast<int>(error);
            return Wake::HungUp;
        }
        signalled = waitForPort(o.hEvent, deadline, wakeFd, watchFd, lastError_);
        if (signalled != Signalled::Port)
            ::CancelIoEx(port, &o);
    }
    // Collected in every case: the OVERLAPPED and the byte are this call's.
    if (::GetOverlappedResult(port, &o, &done, TRUE)) {
        found_->stashed = done > 0;
    } else {
        const DWORD error = ::GetLastError();
        if (error != ERROR_OPERATION_ABORTED) {
            lastError_ = static_cast<int>(error);
            return Wake::HungUp;
        }
    }
    switch (signalled) {
    case Signalled::Port:
        // Nothing within kFirstByteWait reads as a timeout: the caller
        // waits again.
        return found_->stashed ? Wake::Input : Wake::Timeout;
    case Signalled::Woken:
        return Wake::Woken;
    case Signalled::Timeout:
        // A byte that came as the wait ended is input all the same.
        return found_->stashed ? Wake::Input : Wake::Timeout;
    case Signalled::Failed:
        break;
    }
    return Wake::Failed;
}

} // namespace ftlib
