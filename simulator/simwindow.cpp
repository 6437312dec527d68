// SPDX-License-Identifier: GPL-3.0-or-later
#include "simulator/simwindow.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QHBoxLayout>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "simulator/ptyserver.h"
#include "simulator/tcpserver.h"
#include "simulator/txtengine.h"

namespace {

// In the editor's own words: "<--" drives the first output of a motor's
// pair, "-->" the second.
QString directionText(txsim::Direction d)
{
    switch (d) {
    case txsim::Direction::Forward:
        return QStringLiteral("<--");
    case txsim::Direction::Backward:
        return QStringLiteral("-->");
    case txsim::Direction::Conflict:
        return QStringLiteral("оба направления — ошибка");
    case txsim::Direction::SingleOutputs:
        return QStringLiteral("два отдельных выхода");
    case txsim::Direction::Stop:
        break;
    }
    return QStringLiteral("стоп");
}

} // namespace

SimWindow::SimWindow(txsim::DeviceEngine &engine, const txsim::PtyServer &server, QWidget *parent)
    : SimWindow(Source{[&engine] { return engine.snapshot(); }, [&server] { return server.hostConnected(); },
                       [&engine](int ta, int n, bool closed) { engine.setInput(ta, n, closed); },
                       QStringLiteral("Симулятор ROBO TX"),
                       QStringLiteral("Порт: %1").arg(QString::fromStdString(server.slavePath())),
                       QStringLiteral("выберите его в программе и подключитесь"), protocol::kTaCount},
                parent)
{
}

SimWindow::SimWindow(txsim::TxtEngine &engine, const txsim::TcpServer &server, QWidget *parent)
    : SimWindow(Source{[&engine] { return engine.snapshot(); }, [&server] { return server.hostConnected(); },
                       [&engine](int ta, int n, bool closed) { engine.setInput(ta, n, closed); },
                       QStringLiteral("Симулятор ROBOTICS TXT"),
                       QStringLiteral("Адрес: %1").arg(QString::fromStdString(server.localAddress())),
                       QStringLiteral("выберите его в программе и подключитесь"), 1 + protocol::txt::kMaxExtensions},
                parent)
{
}

SimWindow::SimWindow(Source source, QWidget *parent)
    : QWidget(parent)
    , source_(std::move(source))
{
    setWindowTitle(source_.title);
    auto *layout = new QVBoxLayout(this);
    portLabel_ = new QLabel(this);
    portLabel_->setObjectName(QStringLiteral("portLabel"));
    portLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    showPort();
    layout->addWidget(portLabel_);

    auto *row = new QGridLayout;
    layout->addLayout(row);
    for (int t = 0; t < source_.controllers; ++t) {
        TaWidgets &w = ta_[static_cast<std::size_t>(t)];
        w.box = new QGroupBox(t == 0 ? QStringLiteral("Главный контроллер") : QStringLiteral("Расширение %1").arg(t), this);
        auto *grid = new QGridLayout(w.box);
        for (int o = 0; o < protocol::kOutputs; ++o) {
            grid->addWidget(new QLabel(QStringLiteral("O%1").arg(o + 1), w.box), o, 0);
            auto *bar = new QProgressBar(w.box);
            bar->setRange(0, protocol::kDutyMax);
            bar->setFormat(QStringLiteral("%v"));
            bar->setObjectName(QStringLiteral("bar_%1_%2").arg(t).arg(o + 1));
            grid->addWidget(bar, o, 1);
            w.bars[static_cast<std::size_t>(o)] = bar;
        }
        for (int m = 0; m < protocol::kMotors; ++m) {
            auto *label = new QLabel(w.box);
            label->setObjectName(QStringLiteral("motor_%1_%2").arg(t).arg(m + 1));
            grid->addWidget(label, protocol::kOutputs + m, 0, 1, 2);
            w.motors[static_cast<std::size_t>(m)] = label;
        }
        addInputs(w, t, grid);
        row->addWidget(w.box, t / 3, t % 3);
    }
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("statusLabel"));
    layout->addWidget(status_);

    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &SimWindow::refresh);
    timer_->start(40);
    refresh();
}

void SimWindow::addInputs(TaWidgets &w, int ta, QGridLayout *grid)
{
    auto *inputs = new QHBoxLayout;
    inputs->setSpacing(2);
    for (int n = 0; n < protocol::kInputs; ++n) {
        auto *button = new QToolButton(w.box);
        button->setText(QStringLiteral("I%1").arg(n + 1));
        button->setCheckable(true);
        button->setToolTip(QStringLiteral("Нажато: выключатель на I%1 замкнут").arg(n + 1));
        button->setObjectName(QStringLiteral("input_%1_%2").arg(ta).arg(n + 1));
        connect(button, &QToolButton::toggled, this, [this, ta, n](bool closed) { source_.setInput(ta, n, closed); });
        inputs->addWidget(button);
        w.inputs[static_cast<std::size_t>(n)] = button;
    }
    grid->addLayout(inputs, protocol::kOutputs + protocol::kMotors, 0, 1, 2);
}

void SimWindow::showPort()
{
    portLabel_->setText(source_.port + QStringLiteral(" — ") + (hostConnected_ ? QStringLiteral("программа подключена") : source_.hint));
}

void SimWindow::refresh()
{
    if (source_.hostConnected() != hostConnected_) {
        hostConnected_ = !hostConnected_;
        showPort();
    }
    const txsim::Snapshot s = source_.snapshot();
    for (int t = 0; t < source_.controllers; ++t) {
        const txsim::TaView &view = s.ta[static_cast<std::size_t>(t)];
        TaWidgets &w = ta_[static_cast<std::size_t>(t)];
        w.box->setVisible(view.online);
        for (int o = 0; o < protocol::kOutputs; ++o)
            w.bars[static_cast<std::size_t>(o)]->setValue(view.duty[static_cast<std::size_t>(o)]);
        for (int n = 0; n < protocol::kInputs; ++n) {
            QToolButton *button = w.inputs[static_cast<std::size_t>(n)];
            const QSignalBlocker quiet(button);
            button->setChecked(view.closedInputs & (1u << n));
        }
        for (int m = 0; m < protocol::kMotors; ++m) {
            w.motors[static_cast<std::size_t>(m)]->setText(
                QStringLiteral("M%1 (O%2/O%3): %4").arg(m + 1).arg(2 * m + 1).arg(2 * m + 2).arg(directionText(txsim::motorDirection(view, m))));
        }
    }
    QString status = s.sid == 0 ? QStringLiteral("Ожидание подключения программы…")
                                : QStringLiteral("Сеанс %1, кадров: %2, нарушений протокола: %3").arg(s.sid).arg(s.frames).arg(s.violations);
    // The refresh runs every 40 ms, so the time noticed is the firing's.
    if (s.watchdogFirings != watchdogFirings_) {
        watchdogFirings_ = s.watchdogFirings;
        lastWatchdog_ = QTime::currentTime();
    }
    // Outputs switched off by the simulator, not by the program, must not
    // pass unnoticed in a demonstration.
    if (watchdogFirings_ > 0)
        status += QStringLiteral("\nСторожевой таймер выключил выходы без команды программы (срабатываний: %1, последнее — в %2)")
                      .arg(watchdogFirings_)
                      .arg(lastWatchdog_.toString(QStringLiteral("HH:mm:ss")));
    status_->setText(status);
}
