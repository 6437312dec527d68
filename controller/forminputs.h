// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

class EndSwitches;

namespace Ui {
class FormInputs;
}

// The window "Входы": each online controller's inputs I1-I8 and counters
// C1-C4 as the library last reported them, and the bindings each end switch
// stops. It only shows what the end switches read; while it is hidden
// nothing is read for it.
class FormInputs : public QWidget
{
    Q_OBJECT

public:
    explicit FormInputs(EndSwitches *switches, QWidget *parent = nullptr);
    ~FormInputs() override;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void refresh();
    void setCell(int row, int column, const QString &text);

    Ui::FormInputs *ui;
    EndSwitches *switches;
    bool fontFitted = false;
};
