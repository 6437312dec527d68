// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <functional>

#include <poll.h>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

// A headless kavrik-simulator run by a test: its JSON events, its control
// commands, and bounded waits on either.
class SimProcess {
public:
    // Starts the simulator announcing into `simDir` and waits for its port.
    // Its watchdog is off unless `args` name one: outputs that go to 0 must
    // have been switched off by the host side under test.
    bool start(const QStringList &args, const QString &simDir)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KAVRIK_SIM_DIR", simDir);
        process.setProcessEnvironment(env);
        process.setProgram(KAVRIK_BIN_DIR "/kavrik-simulator");
        QStringList all{"--headless"};
        if (!args.contains("--watchdog"))
            all << "--watchdog" << "0";
        process.setArguments(all + args);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        if (!process.waitForStarted(5000))
            return false;
        const QJsonObject ready = waitFor([](const QJsonObject &e) { return e["event"] == "ready"; }, 5000);
        port = ready["port"].toString();
        return !port.isEmpty();
    }

    ~SimProcess()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.closeWriteChannel();
        if (!process.waitForFinished(3000)) {
            process.kill();
            process.waitForFinished(3000);
        }
    }

    // The first event from `from` on that matches, waiting up to `ms`; an
    // empty object on timeout. Events before it are kept in `events`.
    QJsonObject waitFor(const std::function<bool(const QJsonObject &)> &match, int ms, int from = -1)
    {
        QElapsedTimer timer;
        timer.start();
        int index = from < 0 ? seen : from;
        for (;;) {
            readLines();
            for (; index < events.size(); ++index) {
                if (match(events[index])) {
                    seen = index + 1;
                    return events[index];
                }
            }
            const qint64 left = ms - timer.elapsed();
            if (left <= 0 || process.state() == QProcess::NotRunning)
                return {};
            process.waitForReadyRead(int(qMin<qint64>(left, 50)));
        }
    }

    QJsonObject waitOutput(int ta, int out, int duty, int ms = 2000)
    {
        return waitFor([=](const QJsonObject &e) {
            return e["event"] == "output" && e["ta"].toInt() == ta && e["out"].toInt() == out && e["duty"].toInt() == duty;
        }, ms);
    }

    bool command(const QString &line)
    {
        process.write((line + "\n").toUtf8());
        const QString word = line.section(' ', 0, 0);
        return !waitFor([&](const QJsonObject &e) { return e["event"] == "ack" && e["command"] == word; }, 3000).isEmpty();
    }

    QJsonObject status()
    {
        process.write("status\n");
        return waitFor([](const QJsonObject &e) { return e["event"] == "status"; }, 3000);
    }

    int count(const QString &event, const std::function<bool(const QJsonObject &)> &match = nullptr)
    {
        readLines();
        int n = 0;
        for (const QJsonObject &e : events)
            n += e["event"] == event && (!match || match(e));
        return n;
    }

    void readLines()
    {
        // Pull what the pipe holds without waiting.
        while (process.state() == QProcess::Running && process.waitForReadyRead(0)) {
        }
        while (process.canReadLine())
            events.append(QJsonDocument::fromJson(process.readLine()).object());
    }

    QProcess process;
    QString port;
    QList<QJsonObject> events;
    int seen = 0;
};

// The simulator's clock (CLOCK_MONOTONIC, as steady_clock) in microseconds.
inline qint64 monotonicMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Polls `condition` until it holds or `ms` pass (poll() as the bounded wait).
inline bool waitUntil(const std::function<bool()> &condition, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        ::poll(nullptr, 0, 2);
    }
    return true;
}
