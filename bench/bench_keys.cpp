// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of one key event through the key handling with 1,000 and 10,000
// bindings, with a controller library call that does nothing; and with
// 10,000 bindings in the main window's table, whose rows show which binding
// drives.
#include <cstdint>
#include <memory>

#include <QApplication>
#include <QString>
#include <QTimer>

#include "app/mainwindow.h"
#include "bench/benchsupport.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"

namespace {

volatile int32_t sink;

uint32_t doNothing(FtHandle, int32_t, int32_t, int32_t duty)
{
    sink = duty;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    ftLib().SetOutPwmValues = &doNothing;
    ftConnection().transferAreaRunning = true;

    struct Size {
        int bindings;
        const char *name;
        double targetUs;
        bool table;
    };
    const Size sizes[] = {{1000, "key_event_1k", 2, false},
                          {10000, "key_event_10k", 20, false},
                          {10000, "key_event_10k_table_marked", 20, true}};
    double perEvent[3] = {};
    int i = 0;
    for (const Size &size : sizes) {
        BindingList &list = bindingList();
        list.clear();
        list.forgetHeldBindings();
        // Letters spread over the list, a few of them bound twice, as in a
        // real list where most bindings belong to other keys.
        for (int n = 0; n < size.bindings; ++n) {
            KeyBinding b;
            b.keyText = QStringLiteral("k");
            b.keyCode = 1000 + n;
            b.controller = n % 9;
            b.motor = n % 4;
            b.direction = n % 2;
            b.speed = 1 + n % 512;
            list.append(b);
        }
        list.at(size.bindings / 2).keyCode = 65;
        list.at(size.bindings - 1).keyCode = 65;
        std::unique_ptr<MainWindow> window;
        if (size.table) {
            // The start-up check may have a box to show about the library,
            // which here is stood in for.
            QTimer closer;
            QObject::connect(&closer, &QTimer::timeout, [] {
                if (QWidget *box = QApplication::activeModalWidget())
                    box->close();
            });
            closer.start(10);
            window = std::make_unique<MainWindow>();
            window->show();
            window->updateBindingsTable();
        }

        std::vector<double> batches;
        constexpr int eventsPerBatch = 2000;
        for (int batch = 0; batch < 25; ++batch) {
            const auto start = bench::Clock::now();
            for (int e = 0; e < eventsPerBatch; e += 2) {
                list.handleKey(65, true);
                list.handleKey(65, false);
            }
            batches.push_back(bench::millisecondsSince(start) * 1000.0 / eventsPerBatch);
        }
        const double us = bench::median(batches);
        perEvent[i++] = us;
        std::printf("%6d bindings%s: %.3f us per key event (median of %zu batches)\n", size.bindings,
                    size.table ? " in the window, rows marked" : "", us, batches.size());
        bench::figure(size.name, us, "us", size.targetUs);
    }
    std::printf("growth from 1k to 10k bindings: x%.2f (linear is x10)\n", perEvent[1] / perEvent[0]);
    return 0;
}
