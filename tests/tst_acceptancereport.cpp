// The acceptance report read back as text with poppler's pdftotext, as a customer's PDF reader
// or a search would see it.
#include "acceptancereport.h"
#include "commissioningrecord.h"

#include <QtTest>

using namespace Commissioning;

namespace {

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(20000) || process.exitCode() != 0)
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

} // namespace

class TestAcceptanceReport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("pdftotext").isEmpty())
            QSKIP("pdftotext is not installed (poppler-utils, scripts/install-deps.sh)");
    }

    void report_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<int>("points");
        QTest::addColumn<double>("lastReference"); // the last point's reference temperature
        QTest::addColumn<QString>("pageSize");
        QTest::addColumn<QStringList>("lines"); // patterns in the text

        QTest::newRow("de_DE: A4, one point within tolerance")
            << "de_DE" << 1 << 22.3 << "(A4)"
            << QStringList { "21034567",
                             "21034568",
                             "QV30__2024-05-14",
                             "TT-101",
                             "Hall 3, cold store",
                             "H-2231",
                             "2026-03-31",
                             "22\\.30 +22\\.50 +0\\.10 +\\+0\\.20 +±0\\.50 +PASS",
                             "Overall verdict: PASS",
                             "Technician: A\\. Moreau",
                             "19200 baud 8N1",
                             "UTC[+-]\\d\\d:\\d\\d" };
        QTest::newRow("en_US: Letter, five points on one page, the last outside")
            << "en_US" << 5 << 21.0 << "(letter)"
            << QStringList { "21034567", "21.00 +22\\.50 +0\\.10 +\\+1\\.50 +±0\\.50 +FAIL",
                             "2 reads, settled", "Overall verdict: FAIL" };
    }

    void report()
    {
        QFETCH(QString, locale);
        QFETCH(int, points);
        QFETCH(double, lastReference);
        QFETCH(QString, pageSize);
        QFETCH(QStringList, lines);

        Record record;
        record.time = QDateTime::currentDateTime();
        record.tool = "quorvel-setup";
        record.toolVersion = "2.0.0";
        record.port = "/dev/ttyUSB0";
        record.reading.persistent = { "QV30", 2024, 5, 14, 1, "19200", "None", "1", 1 };
        record.reading.values.serialNumber = 21034567;
        record.reading.values.serialNumberTr = 21034568;
        record.tag = "TT-101";
        record.location = "Hall 3, cold store";
        record.technician = "A. Moreau";
        record.reference =
            ReferenceInstrument { "Handheld hygrometer", "H-2231", QDate(2026, 3, 31) };
        Acceptance check;
        for (int i = 0; i < points; ++i) {
            PointInput input;
            input.referenceTemperature = i == points - 1 ? lastReference : 22.3;
            input.referenceHumidity = 44.0;
            check.points << judgePoint(input, { 22.45, 22.55 }, { 45, 45 }, true);
        }
        record.acceptance = check;

        QTemporaryDir dir;
        QString file = dir.filePath("report.pdf");
        QString error;
        if (qEnvironmentVariableIsSet("KEEP_REPORT"))
            file = qEnvironmentVariable("KEEP_REPORT");
        QVERIFY2(AcceptanceReport::write(toJson(record), file, &error, QLocale(locale)),
                 qPrintable(error));

        const QString info = run("pdfinfo", { file });
        QVERIFY2(
            info.contains(QRegularExpression("^Pages: +1$", QRegularExpression::MultilineOption)),
            qPrintable(info));
        QVERIFY2(info.contains(QRegularExpression("^Page size: .* pts "
                                                      + QRegularExpression::escape(pageSize),
                                                  QRegularExpression::MultilineOption)),
                 qPrintable(info));
        // -layout keeps a table row on one line, as the page shows it.
        const QString text = run("pdftotext", { "-layout", file, "-" });
        for (const QString &pattern : lines)
            QVERIFY2(text.contains(QRegularExpression(pattern)),
                     qPrintable(pattern + "\nnot in:\n" + text));
    }
};

QTEST_MAIN(TestAcceptanceReport)
#include "tst_acceptancereport.moc"
