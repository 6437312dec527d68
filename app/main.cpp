// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "app/console.h"
#include "app/mainwindow.h"
#include "app/termination.h"
#include "common/display.h"
#include "common/processobjects.h"
#include "control/padthread.h"

namespace {

// The whole interface is Russian, so the toolkit's own dialogs, buttons and
// command-line help are too, whatever the locale says.
void useRussian(QTranslator &toolkitTexts)
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    // Built into the program where the system has none to offer (Windows).
    if (toolkitTexts.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"), QStringLiteral(":/translations"))
        || toolkitTexts.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                             QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&toolkitTexts);
}

void describe(QCommandLineParser &parser)
{
    QCoreApplication::setApplicationName(QStringLiteral("kavrik"));
    QCoreApplication::setApplicationVersion(appVersion());
    parser.setApplicationDescription(
        QStringLiteral("Kavrik — управление моторами контроллера fischertechnik ROBO TX с клавиатуры."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(QStringLiteral("list-pads"),
                                        QStringLiteral("Показать игровые контроллеры, которые видит программа.")));
    parser.addPositionalArgument(QStringLiteral("файл"),
                                 QStringLiteral("Список клавиш (*.kvr), который открыть при запуске."),
                                 QStringLiteral("[файл]"));
}

// Which pads SDL sees and whether it knows how to read them, so that a pad
// can be checked before it is bound.
[[noreturn]] void listPads()
{
    const std::vector<std::string> pads = PadThread::describePads();
    if (pads.empty())
        std::puts("Игровых контроллеров не найдено.");
    for (const std::string &line : pads)
        std::puts(line.c_str());
    std::exit(0);
}

[[noreturn]] void refuse(const QCommandLineParser &parser)
{
    std::fprintf(stderr, "kavrik: %s\n%s", qPrintable(parser.errorText()), qPrintable(parser.helpText()));
    std::exit(2);
}

// --help and --version answer on the terminal, also where no display is, and
// so does a mistake where there is no display. The toolkit's own options
// (-platform ...) are only known to it, once it has started.
void answerOnTerminal(int argc, char *argv[])
{
    bool options = false;
    for (int i = 1; i < argc; ++i)
        options = options || argv[i][0] == '-';
    if (!options)
        return;
    useParentConsole();
    QCoreApplication core(argc, argv);
    QTranslator toolkitTexts;
    useRussian(toolkitTexts);
    QCommandLineParser parser;
    describe(parser);
    if (parser.parse(QCoreApplication::arguments())) {
        if (parser.isSet(QStringLiteral("help")))
            parser.showHelp(0);
        if (parser.isSet(QStringLiteral("version")))
            parser.showVersion();
        if (parser.isSet(QStringLiteral("list-pads")))
            listPads();
        return;
    }
    if (!displayToStartOn(argc, argv))
        refuse(parser);
}

} // namespace

int main(int argc, char *argv[])
{
    // Before any thread starts: each inherits the mask of the thread that
    // starts it.
    TerminationSignals::blockStopSignals();
    answerOnTerminal(argc, argv);

    // The windows have fixed sizes in pixels: on a screen with a scale
    // factor they grow with it instead of shrinking to a corner.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication application(argc, argv);
    QTranslator toolkitTexts;
    useRussian(toolkitTexts);
    QCommandLineParser parser;
    describe(parser);
    if (!parser.parse(QCoreApplication::arguments()))
        refuse(parser);
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (parser.isSet(QStringLiteral("list-pads")))
        listPads();
    if (parser.positionalArguments().size() > 1) {
        std::fputs("kavrik: можно открыть только один список клавиш\n", stderr);
        return 2;
    }

    // The windows set no icon of their own: the platform shows the
    // application's. The desktop entry's name lets the desktop match running
    // windows to the installed entry and icon.
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/kavrik-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
    QGuiApplication::setDesktopFileName(QStringLiteral("kavrik"));

    // Ended by a signal (kill, Ctrl+C, a closed terminal), the program still
    // stops the motors before it goes.
    TerminationSignals termination;
    MainWindow window;
    window.show();
    // A list named on the command line (a double click on a list file)
    // opens as "Открыть..." would open it; Save then writes it back there.
    if (!parser.positionalArguments().isEmpty())
        window.openListFile(QFileInfo(parser.positionalArguments().constFirst()).absoluteFilePath());
    return application.exec();
}
