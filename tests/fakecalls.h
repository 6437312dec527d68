// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

#include <QRegExp>
#include <QStringList>

#include "common/processobjects.h"
#include "controller/ftlib.h"
#include "tests/fakes/fakeftmsclib.h"

// The fake controller library's call log, oldest call first.
inline QStringList fakeCalls()
{
    QStringList calls;
    for (int i = 0; i < fakeFtCallCount(); ++i)
        calls.append(QString::fromUtf8(fakeFtCall(i)));
    return calls;
}

// Only the calls of one entry point.
inline QStringList fakeCalls(const QString &entryPoint)
{
    return fakeCalls().filter(QRegExp(QStringLiteral("^") + entryPoint + QStringLiteral("\\(")));
}

// The duties SetOutPwmValues was given, oldest first.
inline QList<int> fakeDuties()
{
    QList<int> duties;
    for (const QString &call : fakeCalls(QStringLiteral("SetOutPwmValues")))
        duties.append(call.section(QStringLiteral(", "), 3).chopped(1).toInt());
    return duties;
}

inline void fakeSetPorts(const QStringList &names)
{
    QList<QByteArray> bytes;
    for (const QString &n : names)
        bytes.append(n.toLocal8Bit());
    std::vector<const char *> pointers;
    for (const QByteArray &b : bytes)
        pointers.push_back(b.constData());
    fakeFtSetPorts(pointers.data(), static_cast<int>(pointers.size()));
}

// What the fake's ftxGetDeviceKind says of the devices opened next: an
// FT_DEVICE_* kind with what such a controller takes, or 0 for a library
// that cannot tell. -1: the program finds no such entry point, as with a
// library that lacks it, until this is called again or resetProgramState().
inline void fakeDeviceKind(int kind)
{
    FtLib &lib = ftLib();
    lib.ftxGetDeviceKind =
        kind < 0 ? nullptr : reinterpret_cast<decltype(lib.ftxGetDeviceKind)>(lib.library.resolve("ftxGetDeviceKind"));
    const bool txt = kind == FT_DEVICE_ROBOTICS_TXT;
    fakeFtSetDeviceKind(uint32_t(qMax(kind, 0)), txt ? 1 : 8, txt ? FT_FEATURE_EXTENSIONS_WHILE_RUNNING : 0);
}
