#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    // A widgets-only window needs no OpenGL; without this Qt loads a software GL renderer
    // under X that more than doubles the memory the tool needs.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);

    QApplication application(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sets up and monitors a Quorvel temperature and humidity transmitter over Modbus RTU."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Preselects the serial port PATH."),
                                        QStringLiteral("PATH"));
    const QCommandLineOption connectOption(QStringLiteral("connect"),
                                           QStringLiteral("Connects at start."));
    const QCommandLineOption recordOption(
        QStringLiteral("record"),
        QStringLiteral("Records the session to FILE from the start (CSV); an existing file is "
                       "not overwritten."),
        QStringLiteral("FILE"));
    parser.addOptions({ portOption, connectOption, recordOption });
    parser.process(application);

    int result;
    {
        MainWindow window;
        if (parser.isSet(portOption))
            window.preselectPort(parser.value(portOption));
        // Recording first, so that the record holds the connect.
        if (parser.isSet(recordOption))
            window.startRecording(parser.value(recordOption), RecordFile::Existing::Refuse);
        window.show();
        if (parser.isSet(connectOption))
            window.connectAtStart();
        result = application.exec();
        window.cleanUp();
    }
    return result;
}
