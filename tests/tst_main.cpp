// The program's own options, run as a user runs it; Qt's own options still reach Qt.
#include "simulatorserver.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_Main : public QObject
{
    Q_OBJECT

private slots:
    void options_data()
    {
        QTest::addColumn<QString>("arguments"); // LINK: the simulator's port
        QTest::addColumn<int>("exitCode");      // -1: still running, ended by the test
        QTest::addColumn<QString>("line");      // one line of what it wrote
        QTest::newRow("--version, without a display") << "--version" << 0 << "quorvel-setup 2.0.0";
        QTest::newRow("--help, without a display")
            << "--help" << 0
            << "  --unit <address>   Ask unit <address>, 1 to 247 (default 255: any single";
        QTest::newRow("--line out of range: a usage error before any window")
            << "--line 9600-8X1" << 1
            << "quorvel-setup: line settings \"9600-8X1\" are not of the form 19200-8N1";
        QTest::newRow("--record to an existing file: refused before any window")
            << "--record RECORD" << 1
            << "quorvel-setup: RECORD exists; a record is not written over it";
        QTest::newRow("--port without its value, without a display")
            << "--port" << 1 << "quorvel-setup: Missing value after '--port'.";
        QTest::newRow("unknown option")
            << "-platform offscreen --bogus" << 1 << "quorvel-setup: Unknown option 'bogus'.";
        QTest::newRow("-platform, --port and --connect: the first answer arrives")
            << "-platform offscreen --port LINK --connect" << -1 << "run():  37  bytes read";
    }

    void options()
    {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, line);
        QTemporaryDir directory;
        ServerSettings serverSettings;
        serverSettings.linkPath = directory.filePath("port");
        SimulatorServer server { TransmitterSettings(), serverSettings };
        QVERIFY(server.start());

        const QString record = directory.filePath("record.csv");
        QFile(record).open(QIODevice::WriteOnly); // an earlier record
        arguments.replace("RECORD", record);
        line.replace("RECORD", record);

        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY",
                                  "QT_LOGGING_RULES" }) // only -platform can name a platform
            environment.remove(name);
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.start(QCoreApplication::applicationDirPath() + "/quorvel-setup",
                      arguments.replace("LINK", server.linkPath()).split(' '));
        QByteArray output;
        line.replace("LINK", server.linkPath());
        QTRY_VERIFY2_WITH_TIMEOUT((output += program.readAll()).split('\n').contains(line.toUtf8()),
                                  output.constData(), 10000);
        if (exitCode < 0)
            program.terminate();
        QTRY_COMPARE(program.state(), QProcess::NotRunning);
        if (exitCode >= 0)
            QCOMPARE(program.exitCode(), exitCode);
    }
};

QTEST_GUILESS_MAIN(tst_Main)

#include "tst_main.moc"
