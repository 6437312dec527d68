// SPDX-License-Identifier: GPL-3.0-or-later
// A COM port on Windows: opened overlapped and unshared, so that every read,
// write and wait is bounded and a second opener is refused; the guardians
// and the crash handler write to a duplicate of the same handle.
#include "ftmsclib/serialport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "ftmsclib/comports.h"
#include "ftmsclib/handle_windows.h"
#include "ftmsclib/transport_windows.h"

namespace ftlib {

namespace {

// One overlapped call's state and bytes, on the heap: a call that the driver
// does not give back in time even when cancelled is left to it, and the port
// counts as lost; nothing on a stack is ever written to after its call
// returned.
struct Io {
    OVERLAPPED o{};
    std::uint8_t data[4096] = {};
    bool busy = false;
};

// How long a cancelled call may take to come back.
constexpr DWORD kCancelGrace = 250;

// A read returns at once with what is there, and with nothing there waits
// for the first byte, this long at most: the watching read (WaitCommEvent
// ends early under Wine). The waits themselves are bounded by our own
// timed waits; this bounds how long a killed program's read can hold up
// its end (a process handle is signalled once its I/O is over), for a
// driver that is slow to cancel, and so the guardians' zeros.
constexpr DWORD kFirstByteWait = 100;

} // namespace

struct SerialPort::Found {
    bool haveOldSettings = false;
    DCB oldState{};
    COMMTIMEOUTS oldTimeouts{};
    // The read of one byte that waits for input: it stays outstanding from
    // one wait to the next (Wine is slow to cancel a read, at times by
    // hundreds of milliseconds), and ends by itself within kFirstByteWait.
    Io *watching = nullptr;
    // The reads of what is there, and the writes. Null once given up.
    Io *reading = nullptr;
    Io *writing = nullptr;
    // The byte that the watching read took, for the next read().
    std::uint8_t stash = 0;
    bool stashed = false;
    // The port failed (`error`), or a call did not come back: it is lost.
    DWORD failure = 0;
    bool stuck = false;

    // Takes the byte of a watching read that has ended.
    void collect(HANDLE port);
    // Whether the port is lost, with why in `lastError`.
    bool lost(int &lastError) const;
};

namespace {

Io *newIo()
{
    Io *io = new Io;
    io->o.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!io->o.hEvent) {
        delete io;
        return nullptr;
    }
    return io;
}

void deleteIo(Io *&io)
{
    if (io && !io->busy) {
        ::CloseHandle(io->o.hEvent);
        delete io;
    }
    // A busy one is the driver's for good (see Io).
    io = nullptr;
}

void startIo(Io &io)
{
    const HANDLE event = io.o.hEvent;
    io.o = OVERLAPPED{};
    io.o.hEvent = event;
    ::ResetEvent(event);
    io.busy = true;
}

enum class Outcome { Done, Cancelled, Failed, Stuck };

// Waits `ms` at most for the call on `io` to end, cancels it if it has not,
// and collects it within kCancelGrace. Done: `done` bytes, `error` 0.
// Cancelled: it ended by the cancel (`done` may still hold bytes that came
// first). Failed: with `error`. Stuck: it did not come back; `io` stays
// busy.
Outcome finish(HANDLE port, Io &io, DWORD ms, DWORD &done, DWORD &error)
{
    done = 0;
    error = 0;
    bool cancelled = false;
    if (::WaitForSingleObject(io.o.hEvent, ms) != WAIT_OBJECT_0) {
        ::CancelIoEx(port, &io.o);
        cancelled = true;
        // Wine completes a cancelled call without signalling its event:
        // the call's status says it.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCancelGrace);
        while (!HasOverlappedIoCompleted(&io.o)) {
            if (std::chrono::steady_clock::now() >= limit) {
                error = ERROR_OPERATION_ABORTED;
                return Outcome::Stuck;
            }
            ::WaitForSingleObject(io.o.hEvent, 1);
        }
    }
    io.busy = false;
    if (::GetOverlappedResult(port, &io.o, &done, FALSE))
        return cancelled ? Outcome::Cancelled : Outcome::Done;
    error = ::GetLastError();
    if (error == ERROR_OPERATION_ABORTED && cancelled) {
        error = 0;
        return Outcome::Cancelled;
    }
    return Outcome::Failed;
}

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

// How long the open itself may take: opening a Bluetooth port dials its
// device, which Windows gives up after some seconds on its own; the open's
// whole budget there is twelve.
constexpr DWORD kOpenLimit = 10000;

// CreateFile on a thread of its own, waited for kOpenLimit at most: an open
// that dials and hangs must not hold the caller. A handle that comes too
// late is closed by that thread.
HANDLE openBounded(const std::wstring &path, DWORD &error)
{
    struct Open {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
        HANDLE port = INVALID_HANDLE_VALUE;
        DWORD error = 0;
    };
    auto open = std::make_shared<Open>();
    try {
        std::thread([open, path] {
            // No sharing: Windows refuses every further open while this
            // handle (or a guardian's duplicate of it) is open.
            const HANDLE port = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_OVERLAPPED, nullptr);
            const DWORD error = port == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
            std::lock_guard<std::mutex> lock(open->mutex);
            if (open->abandoned) {
                if (port != INVALID_HANDLE_VALUE)
                    ::CloseHandle(port);
                return;
            }
            open->port = port;
            open->error = error;
            open->finished = true;
            open->done.notify_all();
        }).detach();
    } catch (...) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return INVALID_HANDLE_VALUE;
    }
    std::unique_lock<std::mutex> lock(open->mutex);
    if (!open->done.wait_for(lock, std::chrono::milliseconds(kOpenLimit), [&] { return open->finished; })) {
        open->abandoned = true;
        error = ERROR_SEM_TIMEOUT;
        return INVALID_HANDLE_VALUE;
    }
    error = open->error;
    return open->port;
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

} // namespace

SerialPort::SerialPort()
    : found_(std::make_unique<Found>())
{
}

SerialPort::~SerialPort()
{
    close();
    deleteIo(found_->watching);
    deleteIo(found_->reading);
    deleteIo(found_->writing);
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
    found_->watching = newIo();
    found_->reading = newIo();
    found_->writing = newIo();
    if (!found_->watching || !found_->reading || !found_->writing) {
        sysError = static_cast<int>(::GetLastError());
        deleteIo(found_->watching);
        deleteIo(found_->reading);
        deleteIo(found_->writing);
        return PortError::Failed;
    }
    DWORD error = 0;
    const HANDLE port = openBounded(widePath(path), error);
    if (port == INVALID_HANDLE_VALUE) {
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
    // The watching read is cancelled and given a moment; one that does not
    // come back keeps its block (deleteIo leaves a busy one alone).
    if (found_->watching && found_->watching->busy) {
        ::CancelIoEx(port, &found_->watching->o);
        DWORD done = 0, error = 0;
        finish(port, *found_->watching, kCancelGrace, done, error);
    }
    if (found_->haveOldSettings && !found_->stuck) {
        ::SetCommState(port, &found_->oldState);
        ::SetCommTimeouts(port, &found_->oldTimeouts);
    }
    found_->haveOldSettings = false;
    found_->stashed = false;
    ::CloseHandle(port);
    fd_ = -1;
    deleteIo(found_->watching);
    deleteIo(found_->reading);
    deleteIo(found_->writing);
    found_->failure = 0;
    found_->stuck = false;
}

bool SerialPort::writeAll(const std::uint8_t *data, std::size_t size, std::chrono::milliseconds timeout)
{
    if (fd_ == -1 || found_->stuck || !found_->writing) {
        lastError_ = fd_ == -1 ? ERROR_INVALID_HANDLE : ERROR_OPERATION_ABORTED;
        return false;
    }
    const HANDLE port = handleOf(fd_);
    Io &io = *found_->writing;
    const auto deadline = Clock::now() + timeout;
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min(size, sizeof io.data));
        std::copy_n(data, chunk, io.data);
        startIo(io);
        DWORD done = 0, error = 0;
        Outcome outcome = Outcome::Done;
        if (!::WriteFile(port, io.data, chunk, nullptr, &io.o) && ::GetLastError() != ERROR_IO_PENDING) {
            io.busy = false;
            error = ::GetLastError();
            outcome = Outcome::Failed;
        } else {
            outcome = finish(port, io, static_cast<DWORD>(remainingMs(deadline)), done, error);
        }
        data += done;
        size -= done;
        switch (outcome) {
        case Outcome::Done:
            break;
        case Outcome::Cancelled:
            // Not taken in time: the port is not gone for that (a congested
            // radio link), the caller decides.
            if (size == 0)
                return true;
            lastError_ = ETIMEDOUT;
            return false;
        case Outcome::Stuck:
            found_->stuck = true;
            found_->writing = nullptr;
            lastError_ = static_cast<int>(error);
            return false;
        case Outcome::Failed:
            lastError_ = static_cast<int>(error);
            return false;
        }
        if (size > 0 && Clock::now() >= deadline) {
            lastError_ = ETIMEDOUT;
            return false;
        }
    }
    return true;
}

void SerialPort::Found::collect(HANDLE port)
{
    Io *io = watching;
    if (!io || !io->busy || !HasOverlappedIoCompleted(&io->o))
        return;
    io->busy = false;
    DWORD done = 0;
    if (::GetOverlappedResult(port, &io->o, &done, FALSE)) {
        if (done > 0) {
            stash = io->data[0];
            stashed = true;
        }
        return;
    }
    failure = ::GetLastError();
}

bool SerialPort::Found::lost(int &lastError) const
{
    if (stuck || !watching || !reading || !writing) {
        lastError = ERROR_OPERATION_ABORTED;
        return true;
    }
    if (failure) {
        lastError = static_cast<int>(failure);
        return true;
    }
    return false;
}

ReadResult SerialPort::read(std::uint8_t *buffer, std::size_t capacity, std::size_t &got)
{
    got = 0;
    if (fd_ == -1) {
        lastError_ = ERROR_INVALID_HANDLE;
        return ReadResult::Closed;
    }
    found_->collect(handleOf(fd_));
    if (found_->stashed && capacity > 0) {
        buffer[got++] = found_->stash;
        found_->stashed = false;
    }
    // What the watching read has not yet seen comes after it: nothing is
    // read past it.
    if (found_->lost(lastError_) || got == capacity || found_->watching->busy)
        return got > 0 ? ReadResult::Data : found_->lost(lastError_) ? ReadResult::Closed : ReadResult::Nothing;
    const HANDLE port = handleOf(fd_);
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port, &errors, &status)) {
        found_->failure = ::GetLastError();
    } else if (status.cbInQue > 0) {
        // Bytes that are there: the read returns at once.
        Io &io = *found_->reading;
        const DWORD wanted = static_cast<DWORD>(std::min({capacity - got, sizeof io.data, std::size_t(status.cbInQue)}));
        startIo(io);
        DWORD done = 0, error = 0;
        Outcome outcome = Outcome::Failed;
        if (!::ReadFile(port, io.data, wanted, nullptr, &io.o) && ::GetLastError() != ERROR_IO_PENDING) {
            io.busy = false;
            error = ::GetLastError();
        } else {
            outcome = finish(port, io, kCancelGrace, done, error);
        }
        if (outcome == Outcome::Stuck) {
            found_->stuck = true;
            found_->reading = nullptr;
        } else if (outcome == Outcome::Failed) {
            found_->failure = error;
        }
        std::copy_n(io.data, outcome == Outcome::Stuck ? 0 : done, buffer + got);
        got += outcome == Outcome::Stuck ? 0 : done;
    }
    if (got > 0)
        return ReadResult::Data;
    // Any failure of a running port is its loss (unplugged, removed,
    // aborted by the driver). An empty read only means that nothing came:
    // Windows has no end of file on a COM port.
    return found_->lost(lastError_) ? ReadResult::Closed : ReadResult::Nothing;
}

Transport::Wake SerialPort::wait(Clock::time_point deadline, int wakeFd, int watchFd)
{
    if (fd_ == -1)
        return Wake::HungUp;
    found_->collect(handleOf(fd_));
    if (found_->stashed)
        return Wake::Input;
    if (found_->lost(lastError_))
        return Wake::HungUp;
    const HANDLE port = handleOf(fd_);
    Io &io = *found_->watching;
    for (;;) {
        if (!io.busy) {
            // Input already there is taken as it comes: the read ends at
            // once.
            startIo(io);
            if (!::ReadFile(port, io.data, 1, nullptr, &io.o) && ::GetLastError() != ERROR_IO_PENDING) {
                io.busy = false;
                found_->failure = ::GetLastError();
                found_->lost(lastError_);
                return Wake::HungUp;
            }
        }
        const Signalled signalled = waitForPort(io.o.hEvent, deadline, wakeFd, watchFd, lastError_);
        found_->collect(port);
        if (found_->stashed)
            return Wake::Input;
        if (found_->lost(lastError_))
            return Wake::HungUp;
        switch (signalled) {
        case Signalled::Port:
            // The read ended without a byte (kFirstByteWait passed): another
            // one waits for the rest of the time.
            if (Clock::now() < deadline)
                continue;
            return Wake::Timeout;
        case Signalled::Timeout:
            return Wake::Timeout;
        case Signalled::Woken:
            return Wake::Woken;
        case Signalled::Failed:
            return Wake::Failed;
        }
        return Wake::Failed;
    }
}

} // namespace ftlib
