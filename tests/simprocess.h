// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// A headless kavrik-simulator run by a test: its JSON events, its control
// commands, and bounded waits on either. How its process is reached is the
// system's (simprocess_posix.cpp: a child with pipes; simprocess_wine.cpp:
// the Linux simulator started from a Windows test under Wine).
class SimProcess {
public:
    SimProcess();
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts the simulator announcing into `simDir` and waits for its port.
    // Its watchdog is off unless `args` name one: outputs that go to 0 must
    // have been switched off by the host side under test.
    bool start(const QStringList &args, const QString &simDir);

    // The first event from `from` on that matches, waiting up to `ms`; an
    // empty object on timeout. Events before it are kept in `events`.
    QJsonObject waitFor(const std::function<bool(const QJsonObject &)> &match, int ms, int from = -1);
    QJsonObject waitOutput(int ta, int out, int duty, int ms = 2000);
    bool command(const QString &line);
    QJsonObject status();
    int count(const QString &event, const std::function<bool(const QJsonObject &)> &match = nullptr);
    // Takes the lines that have come, without waiting.
    void readLines();
    // Bytes to its standard input as they are.
    void send(const QByteArray &bytes);
    bool running() const;

    QString port;
    QList<QJsonObject> events;
    int seen = 0;

private:
    // The system's part.
    struct Channel;
    bool startProcess(const QStringList &arguments, const QString &simDir);
    // Waits up to `ms` for more output.
    void waitForOutput(int ms);
    void takeLines(QList<QByteArray> &lines);
    // Ends its input, then the process.
    void stopProcess();
    // The name the program under test knows the simulator's port by.
    QString systemPort(const QString &reported);
    std::unique_ptr<Channel> channel;
};

// The simulator's clock (CLOCK_MONOTONIC, as steady_clock) in microseconds.
inline qint64 monotonicMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Polls `condition` until it holds or `ms` pass.
bool waitUntil(const std::function<bool()> &condition, int ms);
