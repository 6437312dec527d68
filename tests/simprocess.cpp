// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/simprocess.h"

#include <thread>

#include <QElapsedTimer>
#include <QJsonDocument>

bool SimProcess::start(const QStringList &args, const QString &simDir)
{
    QStringList all{"--headless"};
    if (!args.contains("--watchdog"))
        all << "--watchdog" << "0";
    if (!startProcess(all + args, simDir))
        return false;
    const QJsonObject ready = waitFor([](const QJsonObject &e) { return e["event"] == "ready"; }, 5000);
    const QString reported = ready["port"].toString();
    if (reported.isEmpty())
        return false;
    port = systemPort(reported);
    return !port.isEmpty();
}

QJsonObject SimProcess::waitFor(const std::function<bool(const QJsonObject &)> &match, int ms, int from)
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
        if (left <= 0 || !running())
            return {};
        waitForOutput(int(qMin<qint64>(left, 50)));
    }
}

QJsonObject SimProcess::waitOutput(int ta, int out, int duty, int ms)
{
    return waitFor([=](const QJsonObject &e) {
        return e["event"] == "output" && e["ta"].toInt() == ta && e["out"].toInt() == out && e["duty"].toInt() == duty;
    }, ms);
}

bool SimProcess::command(const QString &line)
{
    send((line + "\n").toUtf8());
    const QString word = line.section(' ', 0, 0);
    return !waitFor([&](const QJsonObject &e) { return e["event"] == "ack" && e["command"] == word; }, 3000).isEmpty();
}

QJsonObject SimProcess::status()
{
    send("status\n");
    return waitFor([](const QJsonObject &e) { return e["event"] == "status"; }, 3000);
}

int SimProcess::count(const QString &event, const std::function<bool(const QJsonObject &)> &match)
{
    readLines();
    int n = 0;
    for (const QJsonObject &e : events)
        n += e["event"] == event && (!match || match(e));
    return n;
}

void SimProcess::readLines()
{
    QList<QByteArray> lines;
    takeLines(lines);
    for (const QByteArray &line : lines)
        events.append(QJsonDocument::fromJson(line).object());
}

bool waitUntil(const std::function<bool()> &condition, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
