// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// What the list-file tests ask of the system beyond the toolkit's files:
// file identities and owners, hard links, FIFOs and devices, a file that
// fails to read, and limits on writes. Where the system has none of them
// (Windows), posixFiles() is false and each test that needs them skips,
// saying so. One file per platform, chosen by the build.
bool posixFiles();

struct FileIdentity {
    quint64 inode = 0;
    quint32 mode = 0;
    quint32 owner = 0;
    quint32 group = 0;
    qint64 size = 0;
};
bool fileIdentity(const QString &name, FileIdentity &identity);
bool setFileMode(const QString &name, quint32 mode);
bool setFileOwner(const QString &name, quint32 owner, quint32 group);
bool runsAsRoot();
bool hardLink(const QString &from, const QString &to);
bool makeFifo(const QString &name);
// A stand-in for /dev/zero, which never ends; false without the right to
// make one.
bool makeEndlessDevice(const QString &name);
// Whether this thread, with its own rights, may write into the folder.
bool writableByThisThread(const QString &folder);
// A file that opens but fails to read.
QString unreadableFile();
// A list's lines as the program writes them here (text mode: CR LF on
// Windows).
QByteArray withLineEnds(const QByteArray &lines);
// The environment variable that names the folders a child process finds
// its libraries in.
QString librarySearchVariable();

// While it lives, writes that would make a file larger than the given size
// fail (EFBIG) instead of stopping the process: a full disk without one.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();

private:
    qint64 savedCurrent = 0;
    void (*savedHandler)(int) = nullptr;
};

// While it lives, file modes hold for this thread even when it runs as root
// (the capabilities that override them are left out of its effective set),
// so read-only files and folders refuse writes as they do for a user.
class FileModesEnforced
{
public:
    FileModesEnforced();
    ~FileModesEnforced();

private:
    quint32 savedEffective = 0;
};
