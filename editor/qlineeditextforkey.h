// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLineEdit>
#include <QString>

// A one-line field that captures the last key pressed in it: its
// virtual-key code and the text it produced, which it also shows.
class QLineEditExtForKey : public QLineEdit
{
    Q_OBJECT

public:
    explicit QLineEditExtForKey(QWidget *parent = nullptr);

    int capturedCode = 0;
    QString capturedText;

protected:
    void keyPressEvent(QKeyEvent *event) override;
};
