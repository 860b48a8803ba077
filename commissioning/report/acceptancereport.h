#ifndef ACCEPTANCEREPORT_H
#define ACCEPTANCEREPORT_H

#include <QByteArray>
#include <QJsonObject>
#include <QLocale>
#include <QPageSize>
#include <QString>

// The acceptance report: one page of PDF made from a commissioning record of version 2, so
// that the sheet the customer signs shows exactly what the record says. Qt Gui only; the
// command line, which links no Gui, has it drawn by the program quorvel-setup-report.
namespace AcceptanceReport {

// Letter where US customary units are the custom, A4 everywhere else.
QPageSize::PageSizeId pageSizeFor(const QLocale &locale);

// The PDF document; needs a QGuiApplication for its fonts.
QByteArray pdf(const QJsonObject &record, const QLocale &locale = QLocale());

// Writes the PDF to a file atomically; false with *error set to the reason otherwise.
bool write(const QJsonObject &record, const QString &fileName, QString *error,
           const QLocale &locale = QLocale());

} // namespace AcceptanceReport

#endif // ACCEPTANCEREPORT_H
