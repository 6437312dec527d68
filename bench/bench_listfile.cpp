// SPDX-License-Identifier: GPL-3.0-or-later
// Load and save of long list files, the table rebuild after Open, and how
// memory grows with the list.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include "app/mainwindow.h"
#include "bench/benchsupport.h"
#include "bench/samplebindings.h"
#include "bindings/bindinglist.h"
#include "bindings/listfile.h"
#include "common/processobjects.h"

namespace {

constexpr int runs = 7;

void fillList(int count)
{
    BindingList &list = bindingList();
    list.clear();
    for (int i = 0; i < count; ++i) {
        KeyBinding b = sampleBinding(i);
        // Some longer key texts, as stand-in names make them.
        if (i % 3 == 0)
            b.keyText = QStringLiteral("Key %1").arg(i % 1000);
        list.append(b);
    }
}

// The best of several runs, in milliseconds; prepare is not timed.
double bestOf(const std::function<void()> &prepare, const std::function<void()> &run)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

long rssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

void writeListFile(const QString &fileName, int count)
{
    fillList(count);
    saveBindingList(fileName);
    bindingList().clear();
}

// Closes the message box the main window shows when the controller library
// is missing, which would otherwise wait for a click.
void dismissModalBoxes(QObject *owner)
{
    auto *timer = new QTimer(owner);
    QObject::connect(timer, &QTimer::timeout, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    timer->start(10);
}

// Run in a child process of its own, so that memory freed by an earlier
// size cannot hide the growth of a later one.
int measureMemory(const QString &fileName)
{
    dismissModalBoxes(qApp);
    MainWindow window;
    window.show();
    QApplication::processEvents();
    const long before = rssKiB();
    loadBindingList(fileName);
    const long afterLoad = rssKiB();
    window.updateBindingsTable();
    QApplication::processEvents();
    const long afterTable = rssKiB();
    std::printf("%ld %ld\n", afterLoad - before, afterTable - afterLoad);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("--memory"))
        return measureMemory(args.at(2));

    QTemporaryDir dir;
    const QString big = dir.filePath(QStringLiteral("100k.kvr"));

    const int count = 100000;
    const double save = bestOf([] { fillList(count); }, [&] { saveBindingList(big); });
    const qint64 bytes = QFileInfo(big).size();
    const double load = bestOf([] { bindingList().clear(); }, [&] { loadBindingList(big); });
    std::printf("100000 bindings (%lld bytes): save %.1f ms, load %.1f ms (target 100 ms each)\n",
                static_cast<long long>(bytes), save, load);
    bench::figure("save_100k", save, "ms", 100);
    bench::figure("load_100k", load, "ms", 100);

    // What the user may pick instead of a list: each is refused, and the
    // window must answer within a second.
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    const QString device = dir.filePath(QStringLiteral("zero"));
    const QString huge = dir.filePath(QStringLiteral("huge.kvr"));
    const QString tooMany = dir.filePath(QStringLiteral("too-many.kvr"));
    ::mkfifo(QFile::encodeName(fifo).constData(), 0600);
    // A stand-in for /dev/zero; only root may make one.
    const bool haveDevice = ::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0600, makedev(1, 5)) == 0;
    {
        QFile file(huge);
        file.open(QIODevice::WriteOnly);
        file.resize(16 * 1024 * 1024 + 1);
    }
    {
        QFile file(tooMany);
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray("a|65|0|0|1|0\n").repeated(200001));
    }
    struct Refused {
        const char *figure;
        QString file;
    };
    for (const Refused &r : {Refused{"refuse_fifo", fifo}, Refused{"refuse_device", device},
                             Refused{"refuse_over_16mib", huge}, Refused{"refuse_over_200k_bindings", tooMany}}) {
        if (r.file == device && !haveDevice) {
            std::printf("%s: skipped (making a device node needs root)\n", r.figure);
            continue;
        }
        bindingList().clear();
        QElapsedTimer took;
        took.start();
        const bool loaded = loadBindingList(r.file);
        const double ms = static_cast<double>(took.nsecsElapsed()) / 1e6;
        std::printf("%s: %s in %.1f ms\n", r.figure, loaded ? "LOADED" : "refused", ms);
        bench::figure(r.figure, loaded ? 1e9 : ms, "ms", 1000);
    }

    dismissModalBoxes(&app);
    MainWindow window;
    window.show();
    QApplication::processEvents();
    double openTimes[2] = {};
    const int openCounts[2] = {10000, 100000};
    for (int i = 0; i < 2; ++i) {
        const QString file = dir.filePath(QStringLiteral("open%1.kvr").arg(i));
        writeListFile(file, openCounts[i]);
        openTimes[i] = bestOf(
            [&] {
                bindingList().clear();
                window.updateBindingsTable();
                QApplication::processEvents();
            },
            [&] {
                loadBindingList(file);
                window.updateBindingsTable();
                QApplication::processEvents();
            });
        std::printf("Open of %d bindings (load and table rebuild): %.1f ms\n", openCounts[i], openTimes[i]);
    }
    std::printf("Open 100000 / 10000: %.1f (10 is linear)\n", openTimes[1] / openTimes[0]);
    // Per binding, Open of 100k may cost a little more than of 10k, never
    // ten times more.
    bench::figure("open_growth_per_binding_10k_to_100k", openTimes[1] / openTimes[0] / 10, "x", 1.5);
    // A rebuild also throws the old rows away, as after Delete in a long list.
    const double rebuild = bestOf([] {}, [&] {
        window.updateBindingsTable();
        QApplication::processEvents();
    });
    std::printf("Table rebuild over %d rows: %.1f ms\n", bindingList().size(), rebuild);

    std::printf("RSS growth (KiB): bindings, list, table, list per binding (bytes), table per binding (bytes)\n");
    long perBinding10k = 0;
    for (int n : {10000, 50000, 100000}) {
        const QString file = dir.filePath(QStringLiteral("memory%1.kvr").arg(n));
        writeListFile(file, n);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--memory"), file});
        child.waitForFinished(-1);
        const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
        if (figures.size() != 2) {
            std::printf("%d: the measuring process failed\n", n);
            continue;
        }
        const long list = figures.at(0).toLong();
        const long table = figures.at(1).toLong();
        std::printf("%6d %8ld %8ld %6ld %6ld\n", n, list, table, list * 1024 / n, table * 1024 / n);
        const long perBinding = (list + table) * 1024 / n;
        if (n == 10000)
            perBinding10k = perBinding;
        else if (n == 100000 && perBinding10k > 0)
            bench::figure("memory_growth_per_binding_10k_to_100k",
                          static_cast<double>(perBinding) / static_cast<double>(perBinding10k), "x", 1.5);
    }
    return 0;
}
