#include "modbusparameters.h"
#include "modbusprotocol.h"
#include "simulatorserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <csignal>
#include <cstdio>
#include <pthread.h>

namespace {

[[noreturn]] void usageError(const QString &message)
{
    std::fprintf(stderr, "quorvel-transmitter-sim: %s\n", qPrintable(message));
    std::exit(2);
}

double number(const QCommandLineParser &parser, const QString &name, double low, double high)
{
    bool ok = false;
    const double value = parser.value(name).toDouble(&ok);
    if (!ok || value < low || value > high)
        usageError(
            QStringLiteral("--%1 needs a number from %2 to %3").arg(name).arg(low).arg(high));
    return value;
}

TransmitterSettings::Limits limits(const QCommandLineParser &parser, const QString &name)
{
    const QStringList parts = parser.value(name).split(QLatin1Char(':'));
    bool okLow = false, okHigh = false;
    TransmitterSettings::Limits result;
    if (parts.size() == 2) {
        result.low = parts.at(0).toDouble(&okLow);
        result.high = parts.at(1).toDouble(&okHigh);
    }
    if (!okLow || !okHigh || result.low > result.high)
        usageError(QStringLiteral("--%1 needs LOW:HIGH, for example 10:90").arg(name));
    return result;
}

int code(const QCommandLineParser &parser, const QString &name, const QStringList &texts)
{
    for (int i = 0; i < texts.size(); ++i) {
        if (parser.value(name).compare(texts.at(i), Qt::CaseInsensitive) == 0)
            return i;
    }
    usageError(QStringLiteral("--%1 is one of %2").arg(name, texts.join(QLatin1String(", "))));
}

// YYYY-MM-DD with the register's own ranges: month 15 (legacy) and day 0 can be packed too.
quint16 firmwareDate(const QString &text)
{
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^(\\d{4})-(\\d{1,2})-(\\d{1,2})$")).match(text);
    const int year = match.captured(1).toInt(), month = match.captured(2).toInt(),
              day = match.captured(3).toInt();
    if (!match.hasMatch() || year < 2000 || year > 2127 || month > 15 || day > 31)
        usageError(QStringLiteral(
            "--firmware-date needs YYYY-MM-DD, year 2000-2127, month 0-15, day 0-31"));
    return ModbusProtocol::packFirmwareDate(year, month, day);
}

bool setFirmwareProfile(TransmitterSettings *settings, const QString &profile)
{
    if (profile == QLatin1String("current"))
        settings->setFirmware(TransmitterSettings::Firmware::Current);
    else if (profile == QLatin1String("2014-02-18"))
        settings->setFirmware(TransmitterSettings::Firmware::Feb2014);
    else if (profile == QLatin1String("legacy"))
        settings->setFirmware(TransmitterSettings::Firmware::Legacy);
    else
        return false;
    return true;
}

QString firmwareText(const TransmitterSettings &settings)
{
    const int month = (settings.firmwareDate >> 5) & 0x0F;
    if (month == 15)
        return QStringLiteral("%1 (legacy)").arg(QString::fromLatin1(settings.firmwareId));
    return QStringLiteral("%1__%2-%3-%4")
        .arg(QString::fromLatin1(settings.firmwareId))
        .arg(2000 + (settings.firmwareDate >> 9))
        .arg(month, 2, 10, QLatin1Char('0'))
        .arg(settings.firmwareDate & 0x1F, 2, 10, QLatin1Char('0'));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvel-transmitter-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulates a Quorvel temperature and humidity transmitter: a Modbus RTU slave on a\n"
        "pseudo-terminal. It answers address 255 and its own address, function 3 on registers\n"
        "0-20 and 200-215 and function 6 on registers 200, 201, 202 and 205. It prints the path\n"
        "to connect to and serves until SIGINT or SIGTERM (Ctrl+C); SIGHUP restarts it, and\n"
        "stored line settings and address take effect.\n"
        "It hears only requests sent at its own line settings (--line): a request at another\n"
        "speed, number of stop bits or odd parity against not-odd is not heard (--trace says\n"
        "so). A pseudo-terminal keeps no parity-enable flag, so even parity and no parity cannot\n"
        "be told apart on it: the simulator treats the two as one.\n"
        "With --unit, several transmitters share the line: each answers its own address, and\n"
        "all answer 255 at once, which arrives as one garbled answer with a bad CRC.\n"
        "The TCP listeners (--listen) act as a gateway on the same line at the --line settings;\n"
        "over Modbus TCP an answer that fails its CRC is dropped, as a gateway drops it.\n"
        "Alarm states: 0 inside the limits, 1 below the low limit, 2 above the high limit.\n"
        "Fault probabilities are from 0 to 1, drawn for every answer from the seed."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QList<QCommandLineOption> options {
        { "link", "Make a symbolic link <path> to the pseudo-terminal; removed on exit.", "path" },
        { "trace", "Print every request and answer in hex with a timestamp in seconds." },
        { "seed", "Seed of the drift and the faults (default: random, printed at start).", "n" },
        { "address", "Own slave address, register 205 (default 1).", "1-247", "1" },
        { "unit",
          "A transmitter on the line at this address, with its own firmware profile (default: "
          "that of --firmware), serial numbers and drift. Repeat for several; replaces "
          "--address.",
          "address[:firmware]" },
        { "line",
          "Line settings at start, registers 200-202 holding the same: baud 600 to 38400, "
          "8 data bits, parity N, E or O, 1 or 2 stop bits (default 19200-8N1).",
          "line", "19200-8N1" },
        { "apply-line-settings",
          "When written line settings and address take effect: restart (default; SIGHUP "
          "restarts) or immediately (after the echo of the write, sent at the old ones).",
          "when", "restart" },
        { "baud-rate",
          "Stored baud-rate parameter, register 200, in force from a restart: 600 to 38400 "
          "(default: that of --line).",
          "rate" },
        { "parity", "Stored parity parameter, register 201: none, even, odd (default: --line's).",
          "parity" },
        { "stop-bits", "Stored stop-bits parameter, register 202: 1 or 2 (default: --line's).",
          "n" },
        { "turnaround-ms", "Delay between a request and the start of its answer (default 0).", "ms",
          "0" },
        { "listen",
          "Also serve the line over TCP: tcp:PORT (Modbus TCP) or rtu-tcp:PORT (RTU frames "
          "over a TCP stream). Port 0 takes a free one; each is printed as \"listening on "
          "tcp:127.0.0.1:PORT\". Repeatable.",
          "kind:port" },
        { "bind", "Address the listeners are bound to (default 127.0.0.1).", "address",
          "127.0.0.1" },
        { "firmware",
          "Firmware generation: current (QV30, 2024-05-14), 2014-02-18 (QV20) or legacy "
          "(QV10, date word 0xFFFF). Default current.",
          "profile", "current" },
        { "firmware-id", "Four-character firmware identifier, replacing the profile's.", "id" },
        { "firmware-date", "Firmware date YYYY-MM-DD, replacing the profile's (month 15 = legacy).",
          "date" },
        { "housing", "Housing code, register 212 (default 1).", "code", "1" },
        { "probe-serial", "Serial number of the probe, registers 6-7.", "n", "21034567" },
        { "transmitter-serial", "Serial number of the transmitter, registers 8-9.", "n",
          "21034568" },
        { "temperature", "Temperature in degC around which it drifts (default 22.5).", "t",
          "22.5" },
        { "humidity", "Relative humidity in % around which it drifts (default 45).", "rh", "45" },
        { "temperature-drift",
          "Amplitude of the temperature drift in degC; 0 holds it (default 0.5).", "a", "0.5" },
        { "humidity-drift", "Amplitude of the humidity drift in %; 0 holds it (default 2).", "a",
          "2" },
        { "temperature-limits", "Temperature alarm limits (default -20:60).", "low:high",
          "-20:60" },
        { "humidity-limits", "Humidity alarm limits (default 10:90).", "low:high", "10:90" },
        { "dew-point-limits", "Dew-point limits of the Hx alarm (default -10:20).", "low:high",
          "-10:20" },
        { "refuse-writes",
          "Answer every write with this Modbus exception code, carrying nothing out.", "code" },
        { "refuse-writes-from",
          "Carry out the writes before the n-th, refuse it and every later one (with the "
          "--refuse-writes code, or exception 04).",
          "n" },
        { "ignore-writes", "Echo every valid write without carrying it out." },
        { "fault-no-answer", "Probability that a request gets no answer.", "p", "0" },
        { "fault-bad-crc", "Probability that an answer's CRC is corrupted.", "p", "0" },
        { "fault-exception", "Probability of an exception 04 answer instead.", "p", "0" },
        { "fault-split", "Probability that an answer leaves in 2-4 chunks with gaps.", "p", "0" },
        { "fault-delay", "Probability that an answer is delayed.", "p", "0" },
        { "fault-garbage", "Probability that 1-8 random bytes precede an answer.", "p", "0" },
        { "delay-ms", "Delay of a delayed answer in ms (default 400: after the tool gave up).",
          "ms", "400" },
        { "split-gap-ms", "Gap between the chunks of a split answer in ms (default 20).", "ms",
          "20" },
    };
    parser.addOptions(options);
    parser.process(application);
    if (!parser.positionalArguments().isEmpty())
        usageError(QStringLiteral("unexpected argument %1 (see --help)")
                       .arg(parser.positionalArguments().first()));

    TransmitterSettings transmitter;
    if (!setFirmwareProfile(&transmitter, parser.value("firmware")))
        usageError(QStringLiteral("--firmware is current, 2014-02-18 or legacy"));
    if (parser.isSet("firmware-id")) {
        const QByteArray id = parser.value("firmware-id").toLatin1();
        if (id.size() != 4)
            usageError(QStringLiteral("--firmware-id needs exactly four characters"));
        transmitter.firmwareId = id;
    }
    if (parser.isSet("firmware-date"))
        transmitter.firmwareDate = firmwareDate(parser.value("firmware-date"));

    transmitter.address = int(number(parser, "address", 1, 247));
    LineSettings line;
    QString lineError;
    if (!LineSettings::parse(parser.value("line"), &line, &lineError))
        usageError(QStringLiteral("--line: %1").arg(lineError));
    transmitter.setLine(line);
    if (parser.isSet("baud-rate"))
        transmitter.baudRateCode =
            code(parser, "baud-rate", ModbusParameters::texts(ModbusParameters::baudRate()));
    if (parser.isSet("parity"))
        transmitter.parityCode =
            code(parser, "parity", ModbusParameters::texts(ModbusParameters::parity()));
    if (parser.isSet("stop-bits"))
        transmitter.stopBitsCode =
            code(parser, "stop-bits", ModbusParameters::texts(ModbusParameters::stopBits()));
    const QString apply = parser.value("apply-line-settings");
    if (apply == QLatin1String("immediately"))
        transmitter.applySettings = TransmitterSettings::Apply::Immediately;
    else if (apply != QLatin1String("restart"))
        usageError(QStringLiteral("--apply-line-settings is restart or immediately"));
    transmitter.housing = int(number(parser, "housing", -32768, 32767));
    transmitter.probeSerial = qint32(number(parser, "probe-serial", 0, 2147483647));
    transmitter.transmitterSerial = qint32(number(parser, "transmitter-serial", 0, 2147483647));
    transmitter.temperature = number(parser, "temperature", -40, 100);
    transmitter.humidity = number(parser, "humidity", 1, 100);
    transmitter.temperatureDrift = number(parser, "temperature-drift", 0, 20);
    transmitter.humidityDrift = number(parser, "humidity-drift", 0, 50);
    if (parser.isSet("refuse-writes"))
        transmitter.refuseWrites = int(number(parser, "refuse-writes", 1, 255));
    if (parser.isSet("refuse-writes-from")) {
        transmitter.refuseWritesFrom = int(number(parser, "refuse-writes-from", 1, 1000000));
        if (transmitter.refuseWrites == 0)
            transmitter.refuseWrites = RtuSlave::SlaveDeviceFailure;
    }
    transmitter.ignoreWrites = parser.isSet("ignore-writes");
    transmitter.temperatureLimits = limits(parser, "temperature-limits");
    transmitter.humidityLimits = limits(parser, "humidity-limits");
    transmitter.dewPointLimits = limits(parser, "dew-point-limits");

    ServerSettings server;
    server.linkPath = parser.value("link");
    server.trace = parser.isSet("trace");
    server.seed = parser.isSet("seed") ? quint32(number(parser, "seed", 0, 4294967295.0))
                                       : QRandomGenerator::system()->generate();
    transmitter.seed = server.seed;
    server.faults.noAnswer = number(parser, "fault-no-answer", 0, 1);
    server.faults.badCrc = number(parser, "fault-bad-crc", 0, 1);
    server.faults.exception = number(parser, "fault-exception", 0, 1);
    server.faults.split = number(parser, "fault-split", 0, 1);
    server.faults.delay = number(parser, "fault-delay", 0, 1);
    server.faults.garbage = number(parser, "fault-garbage", 0, 1);
    server.faults.delayMs = int(number(parser, "delay-ms", 0, 60000));
    server.faults.splitGapMs = int(number(parser, "split-gap-ms", 0, 10000));
    server.turnaroundMs = int(number(parser, "turnaround-ms", 0, 10000));
    server.bindAddress = parser.value("bind");
    for (const QString &listen : parser.values("listen")) {
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("^(tcp|rtu-tcp):(\\d{1,5})$")).match(listen);
        if (!match.hasMatch() || match.captured(2).toInt() > 65535)
            usageError(QStringLiteral("--listen needs tcp:PORT or rtu-tcp:PORT, PORT 0 to 65535"));
        ServerSettings::Listener listener;
        listener.kind = match.captured(1) == QLatin1String("tcp")
            ? ServerSettings::Listener::Kind::ModbusTcp
            : ServerSettings::Listener::Kind::RtuOverTcp;
        listener.port = quint16(match.captured(2).toInt());
        server.listeners << listener;
    }

    QVector<TransmitterSettings> units;
    if (parser.isSet("unit") && parser.isSet("address"))
        usageError(QStringLiteral("--unit replaces --address: give one or the other"));
    for (const QString &unit : parser.values("unit")) {
        bool ok = false;
        const int address = unit.section(QLatin1Char(':'), 0, 0).toInt(&ok);
        if (!ok || address < 1 || address > 247)
            usageError(QStringLiteral("--unit needs an address from 1 to 247, then :FIRMWARE "
                                      "if wanted (current, 2014-02-18, legacy)"));
        TransmitterSettings settings = transmitter.another(units.size(), address);
        if (unit.contains(QLatin1Char(':'))
            && !setFirmwareProfile(&settings, unit.section(QLatin1Char(':'), 1)))
            usageError(QStringLiteral("--unit %1: the firmware is current, 2014-02-18 or legacy")
                           .arg(unit));
        units << settings;
    }
    if (units.isEmpty())
        units << transmitter;

    // The signals are taken by sigwait below; the server's thread inherits the blocked mask. A
    // shell ignores SIGINT for background jobs, and an ignored signal never reaches sigwait.
    for (const int stopSignal : { SIGINT, SIGTERM, SIGHUP })
        std::signal(stopSignal, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    SimulatorServer simulator(units, server);
    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "quorvel-transmitter-sim: %s\n", qPrintable(error));
        return 1;
    }
    QString writes;
    if (transmitter.refuseWrites != 0 && transmitter.refuseWritesFrom > 1)
        writes = QStringLiteral(", writes refused from write %1 on with exception %2")
                     .arg(transmitter.refuseWritesFrom)
                     .arg(transmitter.refuseWrites);
    else if (transmitter.refuseWrites != 0)
        writes = QStringLiteral(", writes refused with exception %1").arg(transmitter.refuseWrites);
    else if (transmitter.ignoreWrites)
        writes = QStringLiteral(", writes echoed but ignored");
    for (const TransmitterSettings &unit : units)
        std::printf("Transmitter at address %d, line %s, firmware %s, housing %d, seed %u%s%s\n",
                    unit.address, qPrintable(unit.line.toString()), qPrintable(firmwareText(unit)),
                    unit.housing, server.seed, server.faults.any() ? ", faults on" : "",
                    qPrintable(writes));
    for (const QString &listener : simulator.listening())
        std::printf("listening on %s\n", qPrintable(listener));
    if (simulator.linkPath().isEmpty())
        std::printf("Connect to: %s\n", qPrintable(simulator.portPath()));
    else
        std::printf("Connect to: %s (link to %s)\n", qPrintable(simulator.linkPath()),
                    qPrintable(simulator.portPath()));
    std::fflush(stdout);

    int signalNumber = 0;
    while (sigwait(&stopSignals, &signalNumber) == 0 && signalNumber == SIGHUP) {
        simulator.restart();
        for (int i = 0; i < simulator.unitCount(); ++i) {
            const TransmitterModel unit = simulator.transmitter(i);
            std::printf("Restarted: address %d, line %s\n", unit.address(),
                        qPrintable(unit.line().toString()));
        }
        std::fflush(stdout);
    }
    simulator.stop();
    std::printf("Stopped.\n");
    return 0;
}
