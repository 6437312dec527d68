// SPDX-License-Identifier: GPL-3.0-or-later
// Rebuild of the bindings table from lists of 1,000, 10,000 and 100,000
// bindings: the time of one rebuild, and how it grows with the list.
#include <QApplication>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "app/mainwindow.h"
#include "bench/benchsupport.h"
#include "bench/samplebindings.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    // Without a controller library beside the benchmark, the main window
    // reports it in a modal box; the table does not care, so close it.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    closer.start(10);
    MainWindow window;
    window.show();

    struct Size {
        int bindings;
        const char *name;
        double targetMs;
    };
    const Size sizes[] = {{1000, "table_rebuild_1k", 5}, {10000, "table_rebuild_10k", 50},
                          {100000, "table_rebuild_100k", 600}};
    double perBinding[3] = {};
    int i = 0;
    for (const Size &size : sizes) {
        BindingList &list = bindingList();
        list.clear();
        for (int n = 0; n < size.bindings; ++n)
            list.append(sampleBinding(n));
        std::vector<double> runs;
        const int repeats = size.bindings >= 100000 ? 3 : 9;
        for (int r = 0; r < repeats; ++r) {
            const auto start = bench::Clock::now();
            window.updateBindingsTable();
            runs.push_back(bench::millisecondsSince(start));
        }
        const double ms = bench::median(runs);
        perBinding[i++] = ms * 1000.0 / size.bindings;
        std::printf("%7d bindings: %8.2f ms per rebuild (%.3f us per binding)\n", size.bindings, ms,
                    ms * 1000.0 / size.bindings);
        bench::figure(size.name, ms, "ms", size.targetMs);
    }
    // Linear growth keeps the cost per binding flat from 1k to 100k.
    std::printf("growth of the cost per binding from 1k to 100k: x%.2f\n", perBinding[2] / perBinding[0]);
    bench::figure("table_rebuild_growth_per_binding_1k_to_100k", perBinding[2] / perBinding[0], "x", 2.0);
    return 0;
}
