// SPDX-License-Identifier: GPL-3.0-or-later
// Preloaded (LD_PRELOAD) into an installed kavrik by tst_install.sh: when the
// program enters its event loop, prints where the controller library was
// loaded from, the visible windows and the application icon, one line each,
// and ends the process. A message box or dialog shown on the way is printed
// and ends it too, so a failed library check cannot hang the test. Nothing of this
// is in the program; the preloaded definitions win the symbol lookup for the
// program's own calls.
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QStringList>
#include <QWidget>

namespace {

void printLine(const QStringList &fields)
{
    std::fputs(fields.join(QLatin1Char('\t')).toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
}

int printControllerLibrary(dl_phdr_info *info, size_t, void *)
{
    const char *name = info->dlpi_name;
    const char *slash = std::strrchr(name, '/');
    if (std::strcmp(slash ? slash + 1 : name, "libftMscLib.so") == 0)
        printLine({QStringLiteral("library"), QString::fromLocal8Bit(name)});
    return 0;
}

[[noreturn]] void finish(int status)
{
    std::fflush(stdout);
    // No destructors: the program's objects are not ours to tear down.
    _exit(status);
}

} // namespace

int QApplication::exec()
{
    dl_iterate_phdr(printControllerLibrary, nullptr);
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->isVisible())
            printLine({QStringLiteral("window"), QString::fromLatin1(w->metaObject()->className()), w->windowTitle()});
    }
    QStringList sizes;
    for (const QSize &size : QApplication::windowIcon().availableSizes())
        sizes << QString::number(size.width()) + QLatin1Char('x') + QString::number(size.height());
    printLine({QStringLiteral("icon"), sizes.join(QLatin1Char(' '))});
    printLine({QStringLiteral("desktopFile"), QGuiApplication::desktopFileName()});
    finish(0);
}

// Message boxes and dialogs alike: the program calls the dialog's exec().
int QDialog::exec()
{
    const auto *box = qobject_cast<QMessageBox *>(this);
    printLine({QStringLiteral("box"), windowTitle(), box ? box->text() : QString::fromLatin1(metaObject()->className())});
    finish(3);
}
