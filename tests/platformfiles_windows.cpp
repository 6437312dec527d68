// SPDX-License-Identifier: GPL-3.0-or-later
// Windows has none of these as the tests need them: no inodes, owners or
// modes beyond read-only, no FIFOs or device files in a folder, no limit on
// a process's file sizes. Every test that needs one skips.
#include "tests/platformfiles.h"

bool posixFiles()
{
    return false;
}

bool fileIdentity(const QString &, FileIdentity &)
{
    return false;
}

bool setFileMode(const QString &, quint32)
{
    return false;
}

bool setFileOwner(const QString &, quint32, quint32)
{
    return false;
}

bool runsAsRoot()
{
    return false;
}

bool hardLink(const QString &, const QString &)
{
    return false;
}

bool makeFifo(const QString &)
{
    return false;
}

bool makeEndlessDevice(const QString &)
{
    return false;
}

bool writableByThisThread(const QString &)
{
    return true;
}

QString unreadableFile()
{
    return QString();
}

QByteArray withLineEnds(const QByteArray &lines)
{
    QByteArray crlf = lines;
    return crlf.replace("\n", "\r\n");
}

QString librarySearchVariable()
{
    return QStringLiteral("PATH");
}

FileSizeLimit::FileSizeLimit(qint64)
{
}

FileSizeLimit::~FileSizeLimit() = default;

FileModesEnforced::FileModesEnforced() = default;

FileModesEnforced::~FileModesEnforced() = default;
