// quorvel-setup-report RECORD.json REPORT.pdf: draws the acceptance report of a record. The
// command line, a QCoreApplication that links no Gui, starts it for --report; fonts and the PDF
// writer need a QGuiApplication, which here never shows a window.
#include "acceptancereport.h"

#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>

#include <cstdio>

int main(int argc, char *argv[])
{
    // No display is needed or wanted: commissioning runs over ssh as well.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 3) {
        std::fputs("Usage: quorvel-setup-report RECORD.json REPORT.pdf\n", stderr);
        return 1;
    }
    QFile file(arguments[1]);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "Can't read %s: %s\n", qPrintable(arguments[1]),
                     qPrintable(file.errorString()));
        return 1;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject() || !document.object().contains(QLatin1String("acceptance"))) {
        std::fprintf(stderr, "%s is not a record of an acceptance check\n",
                     qPrintable(arguments[1]));
        return 1;
    }
    QString error;
    if (!AcceptanceReport::write(document.object(), arguments[2], &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
