// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>

namespace Ui {
class FormAbout;
}

// The about box: version, release date and a link to the maker.
class FormAbout : public QWidget
{
    Q_OBJECT

public:
    explicit FormAbout(QWidget *parent = nullptr);
    ~FormAbout() override;

private slots:
    void on_label_4_linkActivated(QString link);

private:
    Ui::FormAbout *ui;
};

// The maker's home page, opened from the developer link.
QUrl makerHomePage();
// The page that tells whether a newer version exists; it is sent ours.
QUrl versionCheckPage();
