#include "acceptancereport.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QDateTime>
#include <QJsonArray>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>

namespace AcceptanceReport {

namespace {

    QString escaped(const QString &text)
    {
        return text.toHtmlEscaped();
    }

    // A figure as the record holds it, to the hundredth; "–" where there is none.
    QString figure(const QJsonValue &value, bool sign = false)
    {
        if (!value.isDouble())
            return QStringLiteral("–");
        const double v = value.toDouble();
        return (sign && v > 0 ? QStringLiteral("+") : QString()) + QString::number(v, 'f', 2);
    }

    // The verdict in words first, so that it reads the same to those who cannot tell red from
    // green and in a black-and-white copy.
    QString verdictCell(const QString &verdict, bool large = false)
    {
        const char *colour = verdict == QLatin1String("pass") ? "#1b6e20"
            : verdict == QLatin1String("not checked")         ? "#555555"
                                                              : "#b00020";
        const QString word = verdict == QLatin1String("pass") ? QStringLiteral("PASS")
            : verdict == QLatin1String("fail")                ? QStringLiteral("FAIL")
                                                              : verdict;
        return QStringLiteral("<span style=\"color:%1; font-weight:bold;%2\">%3</span>")
            .arg(QLatin1String(colour), large ? QStringLiteral(" font-size:16pt;") : QString(),
                 escaped(word));
    }

    QString row(const QString &label, const QString &value)
    {
        return QStringLiteral("<tr><td width=\"38%\">%1</td><td>%2</td></tr>").arg(label, value);
    }

    QString text(const QJsonObject &object, const char *key)
    {
        const QString value = object.value(QLatin1String(key)).toString();
        return value.isEmpty() ? QStringLiteral("–") : escaped(value);
    }

    // "2024-05-14 10:31:05 UTC+02:00": the offset written out, so that the time means one
    // moment wherever the sheet is read.
    QString timeText(const QString &iso)
    {
        const QDateTime time = QDateTime::fromString(iso, Qt::ISODateWithMs);
        if (!time.isValid())
            return escaped(iso);
        const int offset = time.offsetFromUtc();
        const int minutes = std::abs(offset) / 60;
        return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
            + QStringLiteral(" UTC%1%2:%3")
                  .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                  .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                  .arg(minutes % 60, 2, 10, QLatin1Char('0'));
    }

    // "19200 baud 8N1", as the line is written on a device's label; "?" for a code outside its
    // table.
    QString lineText(const QJsonObject &c)
    {
        const QJsonValue baud = c.value("baud_rate");
        const QJsonValue stop = c.value("stop_bits");
        const QString parity = c.value("parity").toString();
        return QStringLiteral("%1 baud 8%2%3")
            .arg(baud.isDouble() ? QString::number(baud.toInt()) : QStringLiteral("?"),
                 parity.isEmpty() ? QStringLiteral("?") : parity.left(1).toUpper(),
                 stop.isDouble() ? QString::number(stop.toInt()) : QStringLiteral("?"));
    }

    QString quantityRow(const QString &caption, const QJsonObject &q)
    {
        const bool checked = q.value("reference").isDouble();
        return QStringLiteral("<td>%1 (%2)</td><td align=\"right\">%3</td>"
                              "<td align=\"right\">%4</td><td align=\"right\">%5</td>"
                              "<td align=\"right\">%6</td><td align=\"right\">%7</td>"
                              "<td>%8</td>")
            .arg(caption, escaped(q.value("unit").toString()), figure(q.value("reference")),
                 figure(q.value("mean")), figure(q.value("spread")),
                 figure(q.value("deviation"), true),
                 checked ? QStringLiteral("±") + figure(q.value("tolerance")) : QStringLiteral("–"),
                 verdictCell(q.value("verdict").toString()));
    }

    const char table[] = "<table width=\"100%\" border=\"1\" cellspacing=\"0\" cellpadding=\"3\" "
                         "style=\"border-collapse:collapse; border-color:#888888\">";

    QString html(const QJsonObject &record)
    {
        const QJsonObject tool = record.value("tool").toObject();
        const QJsonObject transmitter = record.value("transmitter").toObject();
        const QJsonObject firmware = transmitter.value("firmware").toObject();
        const QJsonObject reference = record.value("reference").toObject();
        const QJsonObject acceptance = record.value("acceptance").toObject();
        const QJsonObject settling = acceptance.value("settling").toObject();
        const QJsonObject communication = record.value("communication").toObject();

        QString h = QStringLiteral("<html><body>");
        h += QStringLiteral("<h2>Acceptance check</h2>");
        h += QStringLiteral("<p>Quorvel-Setup %1 (%2) &nbsp;·&nbsp; %3</p>")
                 .arg(escaped(tool.value("version").toString()),
                      escaped(tool.value("name").toString()),
                      timeText(record.value("time").toString()));

        // The unit on the left, where it is and what it was checked against on the right.
        h += QStringLiteral("<table width=\"100%\" cellspacing=\"0\" cellpadding=\"0\"><tr>"
                            "<td width=\"55%\" style=\"padding-right:12px\">"
                            "<h3>Transmitter</h3>")
            + table;
        h += row(QStringLiteral("Serial number probe"),
                 QString::number(transmitter.value("probe_serial").toInt()));
        h += row(QStringLiteral("Serial number transmitter"),
                 transmitter.contains("transmitter_serial")
                     ? QString::number(transmitter.value("transmitter_serial").toInt())
                     : QStringLiteral("– (not carried by this unit)"));
        h += row(QStringLiteral("Firmware"),
                 QStringLiteral("%1 (feature set %2)")
                     .arg(escaped(firmware.value("text").toString()),
                          escaped(firmware.value("feature_set").toString())));
        h +=
            row(QStringLiteral("Address"), QString::number(communication.value("address").toInt()));
        h += row(QStringLiteral("Line"), lineText(communication));
        h += row(QStringLiteral("Port"), text(record, "port"));
        h += QStringLiteral("</table></td><td><h3>Installation</h3>") + table;
        h += row(QStringLiteral("Tag"), text(record, "tag"));
        h += row(QStringLiteral("Location"), text(record, "location"));
        h += QStringLiteral("</table><h3>Reference instrument</h3>") + table;
        h += row(QStringLiteral("Instrument"), text(reference, "instrument"));
        h += row(QStringLiteral("Serial number"), text(reference, "serial_number"));
        h += row(QStringLiteral("Calibration due"), text(reference, "calibration_due"));
        h += QStringLiteral("</table></td></tr></table>");

        h += QStringLiteral("<h3>Check points</h3>") + table;
        h += QStringLiteral("<tr><th>Point</th><th align=\"left\">Quantity</th>"
                            "<th align=\"right\">Reference</th><th align=\"right\">Mean</th>"
                            "<th align=\"right\">Spread</th><th align=\"right\">Deviation</th>"
                            "<th align=\"right\">Tolerance</th><th align=\"left\">Verdict</th>"
                            "<th align=\"left\">Point</th></tr>");
        const QJsonArray points = acceptance.value("points").toArray();
        bool anyUnsettled = false;
        for (int i = 0; i < points.size(); ++i) {
            const QJsonObject point = points[i].toObject();
            const bool settled = point.value("settled").toBool();
            anyUnsettled = anyUnsettled || !settled;
            h += QStringLiteral("<tr><td rowspan=\"2\" align=\"center\">%1<br>"
                                "<span style=\"font-size:7pt\">%2</span></td>")
                     .arg(i + 1)
                     .arg(timeText(point.value("time").toString()).mid(11, 8));
            h += quantityRow(QStringLiteral("Temperature"), point.value("temperature").toObject());
            const int reads = point.value("reads").toInt();
            h += QStringLiteral("<td rowspan=\"2\">%1<br><span style=\"font-size:7pt\">%2 "
                                "read%3, %4</span></td></tr><tr>")
                     .arg(verdictCell(point.value("verdict").toString()))
                     .arg(reads)
                     .arg(reads == 1 ? QString() : QStringLiteral("s"))
                     .arg(settled ? QStringLiteral("settled") : QStringLiteral("NOT SETTLED"));
            h +=
                quantityRow(QStringLiteral("Humidity"), point.value("relative_humidity").toObject())
                + QStringLiteral("</tr>");
        }
        h += QStringLiteral("</table>");
        h += QStringLiteral("<p style=\"font-size:7.5pt\">Mean and spread (largest minus "
                            "smallest) of the transmitter's last %1 reads, taken once they lay "
                            "within %2 °C and %3 % r.H., or after %4 s as they were%5. "
                            "Deviation: transmitter minus reference.</p>")
                 .arg(settling.value("reads").toInt())
                 .arg(settling.value("temperature_spread").toDouble())
                 .arg(settling.value("humidity_spread").toDouble())
                 .arg(settling.value("timeout_s").toInt())
                 .arg(anyUnsettled ? QStringLiteral(" (marked NOT SETTLED)") : QString());

        h += QStringLiteral("<p style=\"font-size:13pt\">Overall verdict: %1</p>")
                 .arg(verdictCell(acceptance.value("verdict").toString(), true));

        h += QStringLiteral("<br><table width=\"100%\" cellspacing=\"0\" cellpadding=\"4\">"
                            "<tr><td width=\"50%\">Technician: %1</td><td>Customer:</td></tr>"
                            "<tr><td><br><br>________________________________<br>Date, "
                            "signature</td>"
                            "<td><br><br>________________________________<br>Date, "
                            "signature</td></tr></table>")
                 .arg(text(record, "technician"));
        return h + QStringLiteral("</body></html>");
    }

} // namespace

QPageSize::PageSizeId pageSizeFor(const QLocale &locale)
{
    return locale.measurementSystem() == QLocale::ImperialUSSystem ? QPageSize::Letter
                                                                   : QPageSize::A4;
}

QByteArray pdf(const QJsonObject &record, const QLocale &locale)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setPageSize(QPageSize(pageSizeFor(locale)));
        writer.setPageMargins(QMarginsF(18, 15, 18, 15), QPageLayout::Millimeter);
        writer.setTitle(QStringLiteral("Acceptance check %1")
                            .arg(record.value("transmitter")["probe_serial"].toInt()));
        writer.setCreator(
            QStringLiteral("Quorvel-Setup %1").arg(record.value("tool")["version"].toString()));

        // Laid out for this page in the writer's own units, and drawn once: one page, never a
        // second; what would not fit is cut off, which the report's test would notice.
        QTextDocument document;
        document.documentLayout()->setPaintDevice(&writer);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setStyleHint(QFont::SansSerif);
        font.setPointSizeF(9);
        document.setDefaultFont(font);
        document.setDocumentMargin(0);
        const QRectF page(QPointF(0, 0),
                          writer.pageLayout().paintRectPixels(writer.resolution()).size());
        document.setPageSize(page.size());
        document.setHtml(html(record));
        QPainter painter(&writer);
        document.drawContents(&painter, page);
    }
    return buffer.data();
}

bool write(const QJsonObject &record, const QString &fileName, QString *error,
           const QLocale &locale)
{
    const QByteArray bytes = pdf(record, locale);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) < 0 || !file.commit()) {
        *error = QStringLiteral("Can't write %1: %2").arg(fileName, file.errorString());
        return false;
    }
    return true;
}

} // namespace AcceptanceReport
