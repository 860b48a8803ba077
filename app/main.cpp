#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));

    // Every option of the program is declared and read here, in one parser.
    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "main",
        "Sets up and monitors a temperature and humidity transmitter on a serial line "
        "(Modbus RTU, by default 19200 8N1 to address 255) or through a Modbus TCP or "
        "RTU-over-TCP gateway."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QCoreApplication::translate("main",
                                    "Start with <endpoint> in the Port box: a device path, "
                                    "tcp://HOST[:PORT] or rtu+tcp://HOST:PORT."),
        QStringLiteral("endpoint"));
    const QCommandLineOption lineOption(
        QStringLiteral("line"),
        QCoreApplication::translate("main",
                                    "Talk at <settings>, such as 9600-8E1 (default "
                                    "19200-8N1)."),
        QStringLiteral("settings"));
    const QCommandLineOption unitOption(
        QStringLiteral("unit"),
        QCoreApplication::translate("main",
                                    "Ask unit <address>, 1 to 247 (default 255: any "
                                    "single transmitter)."),
        QStringLiteral("address"));
    const QCommandLineOption connectOption(
        QStringLiteral("connect"),
        QCoreApplication::translate("main", "Connect at start (to the port of --port)."));
    const QCommandLineOption recordOption(
        QStringLiteral("record"),
        QCoreApplication::translate("main",
                                    "Record the session to <file> (CSV) from the start; an "
                                    "existing file is not overwritten."),
        QStringLiteral("file"));
    parser.addOptions({ portOption, lineOption, unitOption, connectOption, recordOption });

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
    // A record is never written over: said before any window or port is opened. A device (a
    // pipe, /dev/stdout) is no record and is written to as the recorder does.
    if (parser.isSet(recordOption) && QFileInfo(parser.value(recordOption)).isFile()) {
        const QCoreApplication textOnly(argc, argv);
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                     qPrintable(QCoreApplication::translate(
                                    "main", "%1 exists; a record is not written over it")
                                    .arg(parser.value(recordOption))));
        return 1;
    }
    if (parser.isSet(helpOption) || parser.isSet(versionOption)) {
        const QCoreApplication textOnly(argc, argv);
        if (parser.isSet(helpOption))
            parser.showHelp(0);
        parser.showVersion();
    }

    // Bad settings are a usage error before any window or port is opened.
    ConnectionSettings connection;
    QString why;
    if ((parser.isSet(lineOption)
         && !LineSettings::parse(parser.value(lineOption), &connection.line, &why))
        || (parser.isSet(unitOption)
            && !ConnectionSettings::parseUnit(parser.value(unitOption), &connection.unit, &why))) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(QFileInfo(arguments.first()).fileName()),
                     qPrintable(why));
        return 1;
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
        window.setConnectionSettings(connection);
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
