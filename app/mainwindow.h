// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMainWindow>
#include <QMessageBox>

class FormAbout;
class FormEditor;
class KeyboardGuard;
class QTableWidgetItem;
class QTimer;

namespace Ui {
class MainWindow;
}

// The program's one main window: the binding list on the left, the
// controller connection on the right, and the key handlers that drive motors.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void showMessage(const QString &title, const QString &text, QMessageBox::Icon icon);
    void updateFileActions();
    void updateBindingsTable();
    void updateConnectionWidgets();
    // What "Открыть..." does once a name is chosen: append the list file's
    // bindings, or show why not; it becomes the file that Save writes.
    void openListFile(const QString &name);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;

    // The order of the slots below fixes their meta-object indices.
private slots:
    void on_action_9_triggered();
    void on_action_11_triggered();
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void on_pushButton_4_clicked();
    void on_pushButton_5_clicked();
    void closeEvent(QCloseEvent *event) override;
    void on_pushButton_6_clicked();
    void on_pushButton_8_clicked();
    void on_tableWidget_itemSelectionChanged();
    void on_pushButton_7_clicked();
    void on_action_8_triggered();
    void on_action_6_triggered();
    void on_action_2_triggered();
    void on_action_triggered();
    void on_action_5_triggered();
    void on_tableWidget_itemDoubleClicked(QTableWidgetItem *item);

public slots:
    void showPortsList();
    void buttonsChanged();

private:
    void openEditor(int row);
    bool saveListAs(const QString &fileName);
    void checkLink();

    FormAbout *about;
    FormEditor *editor;
    Ui::MainWindow *ui;
    KeyboardGuard *keyboard;
    // While the transfer area runs: asks the library whether the link holds.
    QTimer *linkCheck;
};
