// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>

#include <QTime>
#include <QWidget>

#include "simulator/engine.h"

namespace txsim {
class PtyServer;
}

class QGroupBox;
class QLabel;
class QProgressBar;
class QTimer;

// The simulator's window: a live view of every output of the master and the
// extensions, redrawn from the engine's snapshot a few dozen times a second.
class SimWindow : public QWidget {
    Q_OBJECT
public:
    SimWindow(const txsim::DeviceEngine &engine, const txsim::PtyServer &server, QWidget *parent = nullptr);

private:
    struct TaWidgets {
        QGroupBox *box = nullptr;
        std::array<QProgressBar *, protocol::kOutputs> bars{};
        std::array<QLabel *, protocol::kMotors> motors{};
    };

    void refresh();
    void showPort();

    const txsim::DeviceEngine &engine_;
    const txsim::PtyServer &server_;
    QString port_;
    QLabel *portLabel_ = nullptr;
    bool hostConnected_ = false;
    std::array<TaWidgets, protocol::kTaCount> ta_;
    QLabel *status_ = nullptr;
    QTimer *timer_ = nullptr;
    // The watchdog firings seen so far, and when the last one was noticed.
    unsigned watchdogFirings_ = 0;
    QTime lastWatchdog_;
};
