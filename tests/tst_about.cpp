// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAction>
#include <QDesktopServices>
#include <QLabel>
#include <QtTest>

#include "about/formabout.h"
#include "about/maker.h"
#include "app/mainwindow.h"
#include "tests/testsupport.h"

// Receives the addresses the program hands to the desktop's browser.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class TestAbout : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void oneAboutBox();
    void labels();
    void versionCheckAddress();
    void versionCheckWithoutBrowser();
    void developerLinkOpensHomePage();

private:
    UrlCatcher catcher;
    ModalCloser *closer = nullptr;
};

void TestAbout::init()
{
    resetProgramState();
    catcher.opened.clear();
    for (const char *scheme : {"http", "https"})
        QDesktopServices::setUrlHandler(QLatin1String(scheme), &catcher, "open");
    closer = new ModalCloser(this);
}

void TestAbout::cleanup()
{
    for (const char *scheme : {"http", "https"})
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    delete closer;
    QCOMPARE(visibleTopLevelWindows(), QStringList());
}

void TestAbout::oneAboutBox()
{
    MainWindow w;
    w.show();
    auto *about = w.findChild<QAction *>(QStringLiteral("action_11"));
    about->trigger();
    about->trigger();
    const QList<FormAbout *> boxes = [] {
        QList<FormAbout *> found;
        for (QWidget *top : QApplication::topLevelWidgets())
            if (auto *a = qobject_cast<FormAbout *>(top))
                found.append(a);
        return found;
    }();
    QCOMPARE(boxes.size(), 1);
    FormAbout *box = boxes.first();
    QVERIFY(box->isVisible());
    QCOMPARE(box->parentWidget(), nullptr);
    QCOMPARE(box->windowTitle(), QStringLiteral("О программе"));
    QCOMPARE(box->size(), QSize(261, 86));
    QCOMPARE(box->minimumSize(), QSize(261, 86));
    QCOMPARE(box->maximumSize(), QSize(261, 86));
    QVERIFY(box->windowFlags().testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!box->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!box->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!box->isModal());

    box->close();
    about->trigger();
    QVERIFY(box->isVisible()); // the same box again
    w.close();
    QVERIFY(!box->isVisible());
}

void TestAbout::labels()
{
    FormAbout box;
    auto label = [&](const char *name) { return box.findChild<QLabel *>(QLatin1String(name)); };
    QCOMPARE(label("label")->text(), QStringLiteral("Версия: <b>2.0.0</b>"));
    QCOMPARE(label("label_2")->text(),
             QStringLiteral("<html><head/><body><p>Дата релиза: <span style=\" "
                            "font-weight:600;\">09.01.2017</span></p></body></html>"));
    QCOMPARE(label("label_3")->text(), QStringLiteral("Разработчик: "));
    QVERIFY(label("label_4")->text().contains(QLatin1String(Maker::developerName)));
    QVERIFY(label("label_4")->text().contains(QLatin1String(Maker::siteAddress)));
    for (const char *name : {"label_3", "label_4"}) {
        QVERIFY(!label(name)->openExternalLinks());
        QCOMPARE(label(name)->textInteractionFlags(), Qt::LinksAccessibleByMouse);
    }
    // The link sits right after the caption's fitted width, on its line.
    QCOMPARE(label("label_3")->width(), label("label_3")->sizeHint().width());
    QCOMPARE(label("label_4")->x(), label("label_3")->x() + label("label_3")->width());
    QCOMPARE(label("label_4")->y(), 60);
    QCOMPARE(label("label_4")->size(), label("label_4")->sizeHint());
}

void TestAbout::versionCheckAddress()
{
    MainWindow w;
    w.findChild<QAction *>(QStringLiteral("action_9"))->trigger();
    QCOMPARE(catcher.opened.size(), 1);
    QCOMPARE(catcher.opened.at(0).toString(), QLatin1String(Maker::siteAddress) + QStringLiteral("/kavrik/?v=2.0.0"));
    QCOMPARE(QUrlQuery(catcher.opened.at(0)).queryItemValue(QStringLiteral("v")), QStringLiteral("2.0.0"));
    QCOMPARE(catcher.opened.at(0).path(), QStringLiteral("/kavrik/"));
    QCOMPARE(closer->seen.size(), 0); // nothing is reported
}

void TestAbout::versionCheckWithoutBrowser()
{
    // No handler for the address: the platform has no browser to offer.
    for (const char *scheme : {"http", "https"})
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    MainWindow w;
    w.findChild<QAction *>(QStringLiteral("action_9"))->trigger();
    QCOMPARE(closer->seen.size(), 1);
    QCOMPARE(closer->seen.at(0).title, QStringLiteral("Информация"));
    QCOMPARE(closer->seen.at(0).icon, QMessageBox::Information);
    QCOMPARE(closer->seen.at(0).text,
             QStringLiteral("Не удалось открыть браузер. Есть ли новая версия, можно узнать по адресу:\n")
                 + QLatin1String(Maker::siteAddress) + QStringLiteral("/kavrik/?v=2.0.0"));
}

void TestAbout::developerLinkOpensHomePage()
{
    FormAbout box;
    box.show();
    QMetaObject::invokeMethod(box.findChild<QLabel *>(QStringLiteral("label_4")), "linkActivated",
                              Q_ARG(QString, QStringLiteral("anything")));
    QCOMPARE(catcher.opened, QList<QUrl>{QUrl(QLatin1String(Maker::siteAddress))});
    QVERIFY(box.isVisible());
    box.close();
}

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
