// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <functional>

#include <QTime>
#include <QWidget>

#include "simulator/engine.h"

namespace txsim {
class PtyServer;
class TcpServer;
class TxtEngine;
}

class QGridLayout;
class QGroupBox;
class QLabel;
class QProgressBar;
class QTimer;
class QToolButton;

// The simulator's window: a live view of every output of the master and the
// extensions, redrawn from the engine's snapshot a few dozen times a second,
// and a button per input that closes and opens its switch.
class SimWindow : public QWidget {
    Q_OBJECT
public:
    SimWindow(txsim::DeviceEngine &engine, const txsim::PtyServer &server, QWidget *parent = nullptr);
    SimWindow(txsim::TxtEngine &engine, const txsim::TcpServer &server, QWidget *parent = nullptr);

private:
    // What the window shows of either controller.
    struct Source {
        std::function<txsim::Snapshot()> snapshot;
        std::function<bool()> hostConnected;
        // Closes (true) or opens input n (0-7) of controller ta.
        std::function<void(int ta, int n, bool closed)> setInput;
        QString title;
        // "Порт: /dev/pts/3" or "Адрес: 127.0.0.1:65000", and what to do with it.
        QString port;
        QString hint;
        int controllers = protocol::kTaCount;
    };
    SimWindow(Source source, QWidget *parent);

    struct TaWidgets {
        QGroupBox *box = nullptr;
        std::array<QProgressBar *, protocol::kOutputs> bars{};
        std::array<QLabel *, protocol::kMotors> motors{};
        std::array<QToolButton *, protocol::kInputs> inputs{};
    };
    void addInputs(TaWidgets &w, int ta, QGridLayout *grid);

    void refresh();
    void showPort();

    Source source_;
    QLabel *portLabel_ = nullptr;
    bool hostConnected_ = false;
    std::array<TaWidgets, protocol::kTaCount> ta_;
    QLabel *status_ = nullptr;
    QTimer *timer_ = nullptr;
    // The watchdog firings seen so far, and when the last one was noticed.
    unsigned watchdogFirings_ = 0;
    QTime lastWatchdog_;
};
