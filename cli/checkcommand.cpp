#include "checkcommand.h"

#include "commissioningrecord.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>

using namespace CommandLine;
using Commissioning::Verdict;

namespace CheckCommand {

namespace {

    void print(const QString &text)
    {
        std::fputs(text.toUtf8().constData(), stdout);
        std::fputc('\n', stdout);
    }

    int failure(int code, const QString &text)
    {
        std::fprintf(stderr, "quorvel-setup-cli: %s\n", text.toUtf8().constData());
        return code;
    }

    QString number(double value)
    {
        return QString::number(value, 'f', 2);
    }

    // "Temperature: reference 22.00 °C, transmitter 22.48 °C (spread 0.03 over 5 reads),
    // deviation +0.48 °C, tolerance ±0.50 °C: pass"
    QString quantityLine(const char *caption, const char *unit,
                         const Commissioning::QuantityResult &q, int reads)
    {
        QString line = QStringLiteral("%1: ").arg(QLatin1String(caption));
        if (q.reference)
            line += QStringLiteral("reference %1 %2, ").arg(number(*q.reference), unit);
        line +=
            QStringLiteral("transmitter %1 %2 (spread %3 over %4)")
                .arg(number(q.mean), unit, number(q.spread),
                     reads == 1 ? QStringLiteral("1 read") : QStringLiteral("%1 reads").arg(reads));
        if (q.reference)
            line += QStringLiteral(", deviation %1%2 %3, tolerance ±%4 %3")
                        .arg(q.deviation > 0 ? "+" : "", number(q.deviation), unit,
                             number(q.tolerance));
        return line + QStringLiteral(": ") + Commissioning::verdictText(q.verdict);
    }

    // What made the verdict fail, for the one line on standard error.
    QString reason(const Commissioning::PointResult &point)
    {
        QStringList outside;
        const struct
        {
            const char *name;
            const char *unit;
            const Commissioning::QuantityResult &q;
        } quantities[] = { { "temperature", "°C", point.temperature },
                           { "relative humidity", "% r.H.", point.humidity } };
        for (const auto &q : quantities) {
            if (q.q.verdict == Verdict::Fail)
                outside << QStringLiteral("%1 deviates by %2%3 %4, tolerance ±%5 %4")
                               .arg(QLatin1String(q.name), q.q.deviation > 0 ? "+" : "",
                                    number(q.q.deviation), QLatin1String(q.unit),
                                    number(q.q.tolerance));
        }
        if (!outside.isEmpty())
            return QStringLiteral("Outside tolerance: ") + outside.join(QLatin1String("; "));
        return QStringLiteral("Not settled: the reads kept moving for %1 s; check that the "
                              "transmitter and the reference have reached the room's climate")
            .arg(Commissioning::Settling().timeoutSeconds);
    }

    int writeReport(const QString &recordFile, const QString &reportFile)
    {
        const QString program = reportProgram();
        if (program.isEmpty())
            return failure(BadUsage,
                           QStringLiteral("Can't write %1: quorvel-setup-report is not "
                                          "installed; check the installation")
                               .arg(reportFile));
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        process.start(program, { recordFile, reportFile });
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            const QString text = QString::fromUtf8(process.readAllStandardError()).trimmed();
            return failure(BadUsage,
                           (text.isEmpty() ? QStringLiteral("Can't write %1").arg(reportFile)
                                           : text.section(QLatin1Char('\n'), 0, 0))
                               + QStringLiteral("; check that the folder exists and may be "
                                                "written"));
        }
        print(QStringLiteral("Report written to %1").arg(reportFile));
        return Success;
    }

} // namespace

QString reportProgram()
{
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString &candidate :
         { here + QStringLiteral("/quorvel-setup-report"),
           here + QStringLiteral("/" QUORVEL_REPORT_DIR "/quorvel-setup-report") }) {
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return QString();
}

int finish(const Request &request, const Commissioning::Reading &reading,
           const Commissioning::PointResult &point)
{
    const CheckRequest &check = request.check;
    Commissioning::Record record;
    record.time = point.time;
    record.tool = QStringLiteral("quorvel-setup-cli");
    record.toolVersion = QStringLiteral(QUORVEL_VERSION);
    record.port = request.port;
    record.reading = reading;
    record.tag = check.tag;
    record.location = check.location;
    record.technician = check.technician;
    if (!check.referenceInstrument.isEmpty() || !check.referenceSerial.isEmpty()
        || check.calibrationDue.isValid())
        record.reference =
            Commissioning::ReferenceInstrument { check.referenceInstrument, check.referenceSerial,
                                                 check.calibrationDue };
    record.acceptance = Commissioning::Acceptance { check.settling, { point } };

    print(quantityLine("Temperature", "°C", point.temperature, point.reads));
    print(quantityLine("Relative humidity", "% r.H.", point.humidity, point.reads));
    const Verdict verdict = Commissioning::overallVerdict({ point });
    print(QStringLiteral("Verdict: %1%2")
              .arg(Commissioning::verdictText(verdict),
                   point.settled ? QString() : QStringLiteral(" (not settled)")));

    QString error;
    if (!Commissioning::write(record, request.output, &error))
        return failure(BadUsage,
                       error
                           + QStringLiteral("; check that the folder exists and may "
                                            "be written"));
    print(QStringLiteral("Record written to %1").arg(request.output));
    if (!check.report.isEmpty()) {
        if (const int code = writeReport(request.output, check.report))
            return code;
    }
    std::fflush(stdout);
    return verdict == Verdict::Pass ? Success : failure(OutsideTolerance, reason(point));
}

} // namespace CheckCommand
