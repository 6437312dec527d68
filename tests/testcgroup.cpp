// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/testcgroup.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

#include <QDir>
#include <QFile>

#include "tests/simprocess.h"

TestCgroup::TestCgroup(QString &why)
{
    QFile mounts("/proc/self/mountinfo");
    QString mount;
    if (mounts.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : mounts.readAll().split('\n')) {
            if (line.contains(" - cgroup2 "))
                mount = QString::fromLocal8Bit(line.split(' ').value(4));
        }
    }
    QFile own("/proc/self/cgroup");
    QString path;
    if (own.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : own.readAll().split('\n')) {
            if (line.startsWith("0::"))
                path = QString::fromLocal8Bit(line.mid(3));
        }
    }
    if (mount.isEmpty() || path.isEmpty()) {
        why = "no unified cgroup hierarchy";
        return;
    }
    const QString dir = QString("%1%2/kavrik-test-%3").arg(mount, path == "/" ? QString() : path).arg(::getpid());
    if (!QDir().mkpath(dir + "/program")) {
        why = "cannot make " + dir + ": " + QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    root = dir;
}

TestCgroup::~TestCgroup()
{
    if (root.isEmpty())
        return;
    // The guardians end once they have written; their cgroup with them.
    for (const QString &child : {QString("/program"), QString("/ftmsclib-guardians")})
        waitUntil([&] { return ::rmdir(qPrintable(root + child)) == 0 || errno == ENOENT; }, 3000);
    ::rmdir(qPrintable(root));
}

bool TestCgroup::kill() const
{
    QFile file(root + "/program/cgroup.kill");
    return file.open(QIODevice::WriteOnly) && file.write("1") == 1;
}
