// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// A cgroup of the test's own in the unified hierarchy, with the program's
// inside it ("program") as a desktop puts a program in a scope of its own;
// empty, with `why`, where the test may make none. Removed with what the
// library made beside the program's.
class TestCgroup
{
public:
    explicit TestCgroup(QString &why);
    ~TestCgroup();
    TestCgroup(const TestCgroup &) = delete;
    TestCgroup &operator=(const TestCgroup &) = delete;

    // The file that takes a process into the program's cgroup.
    QString procs() const { return root + "/program/cgroup.procs"; }
    // Kills every process of the program's cgroup at once, as a scope's stop does.
    bool kill() const;

    QString root;
};
