// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLineEdit>
#include <QString>

// A one-line field that captures the last key pressed in it: its
// virtual-key code and the text it produced, which it also shows. A game
// pad's input offered to it while it has the focus is captured the same
// way, by its code and a short name, with the pad's name as the tooltip.
class QLineEditExtForKey : public QLineEdit
{
    Q_OBJECT

public:
    explicit QLineEditExtForKey(QWidget *parent = nullptr);

    int capturedCode = 0;
    QString capturedText;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool event(QEvent *event) override;
};
