#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));

    // Every option of the program is declared and read here, in one parser.
    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "main",
        "Sets up and monitors a temperature and humidity transmitter on a serial line "
        "(Modbus RTU, 19200 8N1, address 255)."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QCoreApplication::translate("main", "Start with <path> in the Port box."),
        QStringLiteral("path"));
    const QCommandLineOption connectOption(
        QStringLiteral("connect"),
        QCoreApplication::translate("main", "Connect at start (to the port of --port)."));
    const QCommandLineOption recordOption(
        QStringLiteral("record"),
        QCoreApplication::translate("main",
                                    "Record the session to <file> (CSV) from the start; an "
                                    "existing file is not overwritten."),
        QStringLiteral("file"));
    parser.addOptions({ portOption, connectOption, recordOption });

    // --help and --version answer without a display: they are looked for before the window
    // system is asked for one.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Qt's own options are unknown to this parser; any other error (a --port without its
    // value) is told here as well, without a display.
    if (!parser.parse(arguments) && parser.unknownOptionNames().isEmpty()) {
        const QCoreApplication textOnly(argc, argv);
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                     qPrintable(parser.errorText()));
        return 1;
    }
    if (parser.isSet(helpOption) || parser.isSet(versionOption)) {
        const QCoreApplication textOnly(argc, argv);
        if (parser.isSet(helpOption))
            parser.showHelp(0);
        parser.showVersion();
    }

    // A widgets-only window needs no OpenGL; without this Qt loads a software GL renderer
    // under X that more than doubles the memory the tool needs.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);

    // Takes Qt's own options (-platform, -style, ...) off the list before ours are checked.
    QApplication application(argc, argv);
    parser.process(application);
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                     qPrintable(QCoreApplication::translate("main", "Unexpected argument '%1'.")
                                    .arg(parser.positionalArguments().first())));
        return 1;
    }

    int result;
    {
        MainWindow window;
        if (parser.isSet(portOption))
            window.choosePort(parser.value(portOption));
        // Recording first, so that the record holds the connect.
        if (parser.isSet(recordOption))
            window.startRecording(parser.value(recordOption), RecordFile::Existing::Refuse);
        window.show();
        if (parser.isSet(connectOption))
            window.connectPort();
        result = application.exec();
        window.cleanUp();
    }
    return result;
}
