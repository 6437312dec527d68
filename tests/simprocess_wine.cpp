// SPDX-License-Identifier: GPL-3.0-or-later
// The Linux simulator started from a Windows test under Wine. Wine starts a
// Linux program but hands it none of the Windows pipes, so a launcher
// (winesim.sh) gives it a FIFO for its commands and a file for its events,
// in a folder under /tmp (Wine's Z:), and links its pseudo-terminal where
// the COM port that Wine was told of as its session started leads
// (scripts/windows-env: KAVRIK_WINE_COM, KAVRIK_WINE_COM_LINK).
#include "tests/simprocess.h"

#include <windows.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

namespace {

QString unixPath(const QString &windowsPath)
{
    return QDir::fromNativeSeparators(windowsPath).mid(2);
}

bool waitForFile(const QString &path, int ms)
{
    return waitUntil([&] { return QFile::exists(path); }, ms);
}

} // namespace

struct SimProcess::Channel {
    QTemporaryDir dir{QStringLiteral("Z:/tmp/kavrik-winesim-XXXXXX")};
    HANDLE commands = INVALID_HANDLE_VALUE;
    HANDLE events = INVALID_HANDLE_VALUE;
    QByteArray partial;
    bool launched = false;

    QString file(const char *name) const { return dir.filePath(QLatin1String(name)); }
};

SimProcess::SimProcess()
    : channel(new Channel)
{
    // The launcher removes it (winesim.sh).
    channel->dir.setAutoRemove(false);
}

SimProcess::~SimProcess()
{
    stopProcess();
}

bool SimProcess::startProcess(const QStringList &arguments, const QString &)
{
    Channel &c = *channel;
    if (!c.dir.isValid())
        return false;
    const QStringList launcher{unixPath(c.dir.path()), qEnvironmentVariable("KAVRIK_WINE_COM_LINK"),
                               QStringLiteral(KAVRIK_HOST_SIMULATOR)};
    if (!QProcess::startDetached(QStringLiteral(KAVRIK_WINESIM), launcher + arguments))
        return false;
    c.launched = true;
    // The events' file is there before the simulator opens its commands:
    // opening a FIFO waits for the other end.
    if (!waitForFile(c.file("events"), 5000))
        return false;
    c.commands = ::CreateFileW(reinterpret_cast<const wchar_t *>(c.file("commands").utf16()), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    c.events = ::CreateFileW(reinterpret_cast<const wchar_t *>(c.file("events").utf16()), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    return c.commands != INVALID_HANDLE_VALUE && c.events != INVALID_HANDLE_VALUE;
}

QString SimProcess::systemPort(const QString &reported)
{
    // A TXT's address needs no mapping.
    if (!reported.startsWith(QLatin1String("/dev/")))
        return reported;
    if (!waitForFile(channel->file("mapped"), 5000))
        return QString();
    return qEnvironmentVariable("KAVRIK_WINE_COM");
}

void SimProcess::stopProcess()
{
    Channel &c = *channel;
    if (!c.launched)
        return;
    c.launched = false;
    // Told to end: the end of its input may never come, as every Linux
    // program Wine starts later (the next simulator's launcher among them)
    // holds a copy of this end of the FIFO. One that does not end is killed.
    send("quit\n");
    if (c.commands != INVALID_HANDLE_VALUE)
        ::CloseHandle(c.commands);
    c.commands = INVALID_HANDLE_VALUE;
    if (!waitForFile(c.file("ended"), 3000)) {
        QFile pid(c.file("pid"));
        if (pid.open(QIODevice::ReadOnly))
            QProcess::startDetached(QStringLiteral("/bin/kill"), {"-KILL", QString::fromLatin1(pid.readAll().trimmed())});
        waitForFile(c.file("ended"), 3000);
    }
    if (c.events != INVALID_HANDLE_VALUE)
        ::CloseHandle(c.events);
    c.events = INVALID_HANDLE_VALUE;
}

bool SimProcess::running() const
{
    return channel->launched && !QFile::exists(channel->file("ended"));
}

void SimProcess::send(const QByteArray &bytes)
{
    DWORD written = 0;
    if (channel->commands != INVALID_HANDLE_VALUE)
        ::WriteFile(channel->commands, bytes.constData(), DWORD(bytes.size()), &written, nullptr);
}

void SimProcess::waitForOutput(int ms)
{
    const auto more = [this] {
        LARGE_INTEGER size{};
        LARGE_INTEGER at{};
        return ::GetFileSizeEx(channel->events, &size) && ::SetFilePointerEx(channel->events, {}, &at, FILE_CURRENT)
            && size.QuadPart > at.QuadPart;
    };
    waitUntil([&] { return channel->events == INVALID_HANDLE_VALUE || more() || !running(); }, ms);
}

void SimProcess::takeLines(QList<QByteArray> &lines)
{
    Channel &c = *channel;
    if (c.events == INVALID_HANDLE_VALUE)
        return;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(c.events, buffer, sizeof buffer, &got, nullptr) && got > 0)
        c.partial.append(buffer, int(got));
    int end;
    while ((end = c.partial.indexOf('\n')) >= 0) {
        lines.append(c.partial.left(end + 1));
        c.partial.remove(0, end + 1);
    }
}
