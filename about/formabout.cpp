// SPDX-License-Identifier: GPL-3.0-or-later
#include "about/formabout.h"

#include <QDesktopServices>

#include "about/maker.h"
#include "common/fontfit.h"
#include "common/processobjects.h"
#include "ui_formabout.h"

QUrl makerHomePage()
{
    return QUrl(QString::fromUtf8(Maker::siteAddress), QUrl::TolerantMode);
}

QUrl versionCheckPage()
{
    return QUrl(QString::fromUtf8(Maker::siteAddress) + QStringLiteral("/kavrik/?v=") + appVersion(),
                QUrl::TolerantMode);
}

FormAbout::FormAbout(QWidget *parent)
    : QWidget(parent)
{
    setWindowFlags(Qt::WindowCloseButtonHint);
    ui = new Ui::FormAbout;
    ui->setupUi(this);
    // The form's geometry is fixed; the font is chosen to fit it.
    fitFont(this);

    ui->label_4->setText(
        QStringLiteral("<html><head/><body><p align=\"center\"><a href=\"%1\"><span style=\" "
                       "text-decoration: underline; color:#0000ff;\">%2</span></a></p></body></html>")
            .arg(QString::fromUtf8(Maker::siteAddress), QString::fromUtf8(Maker::developerName)));

    ui->label->setText(ui->label->text() + QStringLiteral("<b>") + appVersion() + QStringLiteral("</b>"));
    ui->label_3->adjustSize();
    ui->label_4->move(ui->label_3->x() + ui->label_3->width(), ui->label_4->y());
    ui->label_4->adjustSize();
}

FormAbout::~FormAbout()
{
    delete ui;
}

// The developer's name: open the maker's home page, whatever the link says
void FormAbout::on_label_4_linkActivated(QString)
{
    QDesktopServices::openUrl(makerHomePage());
}
