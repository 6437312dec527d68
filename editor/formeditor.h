// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QWidget>

namespace Ui {
class FormEditor;
}

// The window in which one binding is made or changed; it writes straight
// into the binding list and tells the main window when it did.
class FormEditor : public QWidget
{
    Q_OBJECT

public:
    explicit FormEditor(QWidget *parent = nullptr);
    ~FormEditor() override;

    // A negative row sets the form up for a new binding.
    void prepareForRow(int row);
    // The same, then shown in front.
    void openForRow(int row);

    // Keeps the edited binding the target while the list changes under the
    // open editor: rows before it move it up; if it goes, OK adds instead.
    void rowsErased(const QList<int> &ascendingRows);
    void listCleared();

    // The list position being edited, negative for a new binding.
    int editedRow = -1;

signals:
    void buttonsChanged();

private slots:
    void on_pushButton_2_clicked();
    void on_pushButton_clicked();
    void on_horizontalSlider_valueChanged(int value);
    void on_spinBox_valueChanged(int arg1);

protected:
    void showEvent(QShowEvent *event) override;

private:
    Ui::FormEditor *ui;
    bool fontFitted = false;
};
