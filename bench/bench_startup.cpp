// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up time and resident memory of the program against an empty Qt main
// window started the same way (same toolkit, same platform plugin), the
// program also with 10,000 bindings in its table.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>

#include "bench/benchsupport.h"

namespace {

struct Run
{
    double startMs = -1;
    long rssKiB = -1;
};

Run runOnce(const QString &program, const QStringList &args)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    child.start(program, args);
    Run run;
    while (child.waitForReadyRead(10000)) {
        while (child.canReadLine()) {
            const QByteArray line = child.readLine().trimmed();
            if (line == "shown")
                run.startMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
            else if (line.startsWith("rss "))
                run.rssKiB = line.mid(4).toLong();
        }
        if (run.rssKiB >= 0)
            break;
    }
    if (!child.waitForFinished(10000))
        child.kill();
    child.waitForFinished();
    return run;
}

struct Figures
{
    double startMs = 0;
    double rssMiB = 0;
    double startOverEmptyMs = 0;
    double rssOverEmptyMiB = 0;
    bool ok = true;
};

// The program and the empty window in turn, so that both see the machine in
// the same state; the figures over the empty window are the medians of the
// differences of each pair.
Figures measure(const QString &empty, const QString &program, const QStringList &args, int runs)
{
    std::vector<double> starts, rss, startOver, rssOver;
    runOnce(empty, {}); // warms the page cache
    runOnce(program, args);
    for (int i = 0; i < runs; ++i) {
        const Run base = runOnce(empty, {});
        const Run r = runOnce(program, args);
        if (r.startMs < 0 || r.rssKiB < 0 || base.startMs < 0 || base.rssKiB < 0)
            return Figures{0, 0, 0, 0, false};
        starts.push_back(r.startMs);
        rss.push_back(static_cast<double>(r.rssKiB) / 1024.0);
        startOver.push_back(r.startMs - base.startMs);
        rssOver.push_back(static_cast<double>(r.rssKiB - base.rssKiB) / 1024.0);
    }
    return Figures{bench::median(starts), bench::median(rss), bench::median(startOver), bench::median(rssOver), true};
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const QString bin = QStringLiteral(KAVRIK_BIN_DIR);
    const QString empty = bin + QStringLiteral("/emptywindowapp");
    const Figures kavrik = measure(empty, bin + QStringLiteral("/startupapp"), {}, runs);
    const Figures loaded = measure(empty, bin + QStringLiteral("/startupapp"),
                                   {QStringLiteral("--bindings"), QStringLiteral("10000")}, runs);
    if (!kavrik.ok || !loaded.ok) {
        std::fprintf(stderr, "a start-up run failed\n");
        return 1;
    }
    std::printf("start-up to the first paint (median of %d, each run beside an empty Qt main window):\n", runs);
    std::printf("  Kavrik              : %7.1f ms, %6.1f MiB resident; %+6.1f ms, %+6.1f MiB over the empty window\n",
                kavrik.startMs, kavrik.rssMiB, kavrik.startOverEmptyMs, kavrik.rssOverEmptyMiB);
    std::printf("  Kavrik, 10k bindings: %7.1f ms, %6.1f MiB resident; %+6.1f ms, %+6.1f MiB over the empty window\n",
                loaded.startMs, loaded.rssMiB, loaded.startOverEmptyMs, loaded.rssOverEmptyMiB);
    bench::figure("startup_over_empty_window", kavrik.startOverEmptyMs, "ms", 10);
    bench::figure("rss_10k_bindings_over_empty_window", loaded.rssOverEmptyMiB, "MiB", 25);
    return 0;
}
