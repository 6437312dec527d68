// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMainWindow>
#include <QMessageBox>

#include "controller/connectionrunner.h"

class EndSwitches;
class FormAbout;
class FormEditor;
class FormInputs;
class KeyboardGuard;
class QTableWidgetItem;
class QTimer;
class RowMarks;

namespace Ui {
class MainWindow;
}

// The program's one main window: the binding list on the left, the
// controller connection on the right, and the key handlers that drive motors.
// Its members are defined in the folder of the subsystem they belong to, as
// each group below says; the class itself is declared only here.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Defined in app/mainwindow.cpp.
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;
    // `why`: the box's additional text, the reason where the program knows it.
    void showMessage(const QString &title, const QString &text, QMessageBox::Icon icon, const QString &why = QString());
    void updateFileActions();
    // Defined in bindings/bindingstable.cpp.
    void updateBindingsTable();
    // Defined in controller/connectionslots.cpp.
    void updateConnectionWidgets();
    // A port search, a connect, a stop or a disconnect is under way (on the
    // connection's own thread); the panel waits for it.
    bool connectionBusy() const;
    // Defined in bindings/listfilecommands.cpp. What "Открыть..." does once a
    // name is chosen: append the list file's bindings, or show why not; it
    // becomes the file that Save writes.
    void openListFile(const QString &name);

protected:
    // Defined in control/keyevents.cpp.
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;

    // The order of the slots below fixes their meta-object indices; each
    // says where it is defined.
private slots:
    void on_action_9_triggered();                                     // about/aboutcommands.cpp
    void on_action_11_triggered();                                    // about/aboutcommands.cpp
    void on_pushButton_clicked();                                     // controller/connectionslots.cpp
    void on_pushButton_2_clicked();                                   // controller/connectionslots.cpp
    void on_pushButton_3_clicked();                                   // controller/connectionslots.cpp
    void on_pushButton_4_clicked();                                   // controller/connectionslots.cpp
    void on_pushButton_5_clicked();                                   // controller/connectionslots.cpp
    void closeEvent(QCloseEvent *event) override;                     // app/mainwindow.cpp
    void on_pushButton_6_clicked();                                   // editor/editorslots.cpp
    void on_pushButton_8_clicked();                                   // bindings/bindingstable.cpp
    void on_tableWidget_itemSelectionChanged();                       // bindings/bindingstable.cpp
    void on_pushButton_7_clicked();                                   // editor/editorslots.cpp
    void on_action_8_triggered();                                     // app/mainwindow.cpp
    void on_action_6_triggered();                                     // bindings/listfilecommands.cpp
    void on_action_2_triggered();                                     // bindings/listfilecommands.cpp
    void on_action_triggered();                                       // bindings/listfilecommands.cpp
    void on_action_5_triggered();                                     // bindings/listfilecommands.cpp
    void on_tableWidget_itemDoubleClicked(QTableWidgetItem *item);    // editor/editorslots.cpp

public slots:
    void showPortsList();                                             // controller/connectionslots.cpp
    void buttonsChanged();                                            // bindings/bindingstable.cpp

    // Added after the others, which keep their indices.
private slots:
    void on_action_12_triggered();                                    // controller/inputsslots.cpp

private:
    bool saveListAs(const QString &fileName);                         // bindings/listfilecommands.cpp
    bool unsavedBindingsHandled();                                    // bindings/listfilecommands.cpp
    void checkLink();                                                 // controller/connectionslots.cpp
    void connectionDone(const ConnectionRunner::Result &result);      // controller/connectionslots.cpp

    FormAbout *about;
    FormEditor *editor;
    Ui::MainWindow *ui;
    KeyboardGuard *keyboard;
    // While the transfer area runs: asks the library whether the link holds.
    QTimer *linkCheck;
    // The connection's thread: port search, connect, stop, disconnect.
    ConnectionRunner *connectionRunner;
    // What the table shows beside the list: driving, dimmed, flagged rows.
    RowMarks *rowMarks;
    // The list's end switches as told to the library, and the inputs read back.
    EndSwitches *endSwitches;
    // "Входы", made when first opened.
    FormInputs *inputsWindow = nullptr;
};
