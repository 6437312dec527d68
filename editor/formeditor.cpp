// SPDX-License-Identifier: GPL-3.0-or-later
#include "editor/formeditor.h"

#include <QComboBox>
#include <QCoreApplication>

#include "bindings/bindinglist.h"
#include "common/fontfit.h"
#include "common/messagebox.h"
#include "common/processobjects.h"
#include "ui_formeditor.h"

namespace {

QString promptText()
{
    return QCoreApplication::translate("FormEditor", "Введите...");
}

} // namespace

FormEditor::FormEditor(QWidget *parent)
    : QWidget(parent)
{
    setWindowFlags(Qt::WindowCloseButtonHint);
    ui = new Ui::FormEditor;
    ui->setupUi(this);
}

void FormEditor::showEvent(QShowEvent *event)
{
    // The form's geometry is fixed; the font is chosen to fit it, when it is
    // first shown: the program starts without measuring a window nobody sees.
    if (!fontFitted) {
        fitFont(this);
        fontFitted = true;
    }
    QWidget::showEvent(event);
}

FormEditor::~FormEditor()
{
    delete ui;
}

void FormEditor::openForRow(int row)
{
    prepareForRow(row);
    show();
    activateWindow();
}

void FormEditor::prepareForRow(int row)
{
    if (row < 0) {
        // The prompt is ordinary text; OK treats it as "no key yet".
        ui->lineEdit->setText(promptText());
        // An exclusive pair cannot be cleared by unchecking: drop the
        // exclusivity for a moment.
        for (QRadioButton *button : {ui->radioButton, ui->radioButton_2}) {
            button->setCheckable(false);
            button->setCheckable(true);
        }
        ui->horizontalSlider->setValue(1);
        // A switch ends one direction's travel, and the direction starts
        // unchosen: so does the switch.
        ui->comboBox_2->setCurrentIndex(0);
        // After editing a binding whose numbers no box can show, the boxes
        // are left empty; a new binding starts from the first entries.
        for (QComboBox *box : {ui->comboBox, ui->comboBox_3}) {
            if (box->currentIndex() < 0)
                box->setCurrentIndex(0);
        }
    } else {
        const KeyBinding &b = bindingList().at(row);
        ui->lineEdit->setText(b.keyText);
        ui->lineEdit->capturedText = ui->lineEdit->text();
        ui->lineEdit->capturedCode = b.keyCode;
        ui->comboBox->setCurrentIndex(b.controller);
        ui->comboBox_3->setCurrentIndex(b.motor);
        ui->radioButton->setChecked(!b.direction);
        ui->radioButton_2->setChecked(b.direction);
        ui->horizontalSlider->setValue(b.speed);
        ui->comboBox_2->setCurrentIndex(b.endSwitch >= 0 && b.endSwitch <= maxEndSwitch ? b.endSwitch : -1);
    }
    // The pad named by an earlier capture is not this binding's.
    ui->lineEdit->setToolTip(QString());
    ui->lineEdit->setFocus(Qt::OtherFocusReason);
    editedRow = row;
}

void FormEditor::rowsErased(const QList<int> &ascendingRows)
{
    if (editedRow < 0)
        return;
    int before = 0;
    for (int row : ascendingRows) {
        if (row == editedRow) {
            editedRow = -1;
            return;
        }
        if (row > editedRow)
            break;
        ++before;
    }
    editedRow -= before;
}

void FormEditor::listCleared()
{
    editedRow = -1;
}

// "Отмена": close without touching the list
void FormEditor::on_pushButton_2_clicked()
{
    close();
}

// "OK": check the input, then add or overwrite the binding
void FormEditor::on_pushButton_clicked()
{
    QString message;
    if (!ui->radioButton->isChecked() && !ui->radioButton_2->isChecked())
        message = tr("Выберите направление вращения");
    const QString shown = ui->lineEdit->text();
    if (shown.isEmpty() || shown == promptText())
        message = tr("Введите клавишу");
    if (!message.isEmpty()) {
        execMessageBox(QStringLiteral("Kavrik"), message, QMessageBox::Warning);
        return;
    }

    KeyBinding b;
    b.keyText = ui->lineEdit->capturedText;
    b.keyCode = ui->lineEdit->capturedCode;
    b.controller = ui->comboBox->currentIndex();
    b.motor = ui->comboBox_3->currentIndex();
    b.direction = ui->radioButton_2->isChecked();
    b.speed = ui->horizontalSlider->value();
    b.endSwitch = ui->comboBox_2->currentIndex();

    BindingList &list = bindingList();
    const bool editing = editedRow >= 0 && editedRow < list.size();
    // A box left empty shows a number from a list file that it has no entry
    // for; the binding keeps that number rather than becoming -1.
    if (editing && b.controller < 0)
        b.controller = list.at(editedRow).controller;
    if (editing && b.motor < 0)
        b.motor = list.at(editedRow).motor;
    if (editing && b.endSwitch < 0)
        b.endSwitch = list.at(editedRow).endSwitch;
    if (!editing) {
        // Retargeting keeps editedRow inside the list; should it still point
        // past the end, adding is the only write that cannot hit another binding.
        editedRow = -1;
        list.append(b);
    } else {
        list.at(editedRow) = b;
    }
    close();
    emit buttonsChanged();
}

void FormEditor::on_horizontalSlider_valueChanged(int value)
{
    ui->spinBox->setValue(value);
}

void FormEditor::on_spinBox_valueChanged(int arg1)
{
    ui->horizontalSlider->setValue(arg1);
}
