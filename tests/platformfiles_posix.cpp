// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/platformfiles.h"

#include <csignal>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QFile>

namespace {

QByteArray path(const QString &name)
{
    return QFile::encodeName(name);
}

} // namespace

bool posixFiles()
{
    return true;
}

bool fileIdentity(const QString &name, FileIdentity &identity)
{
    struct stat info;
    if (::stat(path(name).constData(), &info) != 0)
        return false;
    identity = {info.st_ino, info.st_mode, info.st_uid, info.st_gid, info.st_size};
    return true;
}

bool setFileMode(const QString &name, quint32 mode)
{
    return ::chmod(path(name).constData(), mode) == 0;
}

bool setFileOwner(const QString &name, quint32 owner, quint32 group)
{
    return ::chown(path(name).constData(), owner, group) == 0;
}

bool runsAsRoot()
{
    return ::geteuid() == 0;
}

bool hardLink(const QString &from, const QString &to)
{
    return ::link(path(from).constData(), path(to).constData()) == 0;
}

bool makeFifo(const QString &name)
{
    return ::mkfifo(path(name).constData(), 0600) == 0;
}

bool makeEndlessDevice(const QString &name)
{
    return ::mknod(path(name).constData(), S_IFCHR | 0600, makedev(1, 5)) == 0;
}

bool writableByThisThread(const QString &folder)
{
    return ::faccessat(AT_FDCWD, path(folder).constData(), W_OK, AT_EACCESS) == 0;
}

QString unreadableFile()
{
    // Opens, but reading at offset 0 of the own address space fails.
    return QStringLiteral("/proc/self/mem");
}

QByteArray withLineEnds(const QByteArray &lines)
{
    return lines;
}

QString librarySearchVariable()
{
    return QStringLiteral("LD_LIBRARY_PATH");
}

FileSizeLimit::FileSizeLimit(qint64 bytes)
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    savedCurrent = static_cast<qint64>(limit.rlim_cur);
    savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(savedCurrent);
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, savedHandler);
}

// The overriding capabilities are among the lower 32; lowering the effective
// set and raising it again within the permitted one needs no privilege.
FileModesEnforced::FileModesEnforced()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    savedEffective = data[0].effective;
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    syscall(SYS_capset, &header, data);
}

FileModesEnforced::~FileModesEnforced()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    data[0].effective = savedEffective;
    syscall(SYS_capset, &header, data);
}
