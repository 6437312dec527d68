// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

#include <QRegExp>
#include <QStringList>

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
