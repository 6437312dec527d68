// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator as a child process, its events and commands through pipes.
#include "tests/simprocess.h"

#include <QProcess>
#include <QProcessEnvironment>

struct SimProcess::Channel {
    QProcess process;
};

SimProcess::SimProcess()
    : channel(new Channel)
{
}

SimProcess::~SimProcess()
{
    stopProcess();
}

bool SimProcess::startProcess(const QStringList &arguments, const QString &simDir)
{
    QProcess &process = channel->process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KAVRIK_SIM_DIR", simDir);
    process.setProcessEnvironment(env);
    process.setProgram(KAVRIK_BIN_DIR "/kavrik-simulator");
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    return process.waitForStarted(5000);
}

QString SimProcess::systemPort(const QString &reported)
{
    return reported;
}

void SimProcess::stopProcess()
{
    QProcess &process = channel->process;
    if (process.state() == QProcess::NotRunning)
        return;
    process.closeWriteChannel();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

bool SimProcess::running() const
{
    return channel->process.state() != QProcess::NotRunning;
}

void SimProcess::send(const QByteArray &bytes)
{
    channel->process.write(bytes);
}

void SimProcess::waitForOutput(int ms)
{
    channel->process.waitForReadyRead(ms);
}

void SimProcess::takeLines(QList<QByteArray> &lines)
{
    QProcess &process = channel->process;
    // Pull what the pipe holds without waiting.
    while (process.state() == QProcess::Running && process.waitForReadyRead(0)) {
    }
    while (process.canReadLine())
        lines.append(process.readLine());
}
