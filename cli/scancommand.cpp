#include "commands.h"

#include "scanner.h"
#include "scanreport.h"

#include <cstdio>
#include <unistd.h>

using namespace CommandLine;

namespace Commands {

int scan(const Request &request)
{
    ScanSettings settings;
    settings.search = request.lone ? ScanSettings::Search::Lone : ScanSettings::Search::Bus;
    settings.endpoint = request.connection.endpoint;
    settings.line = request.connection.line;
    settings.allLines = request.allLines;
    settings.firstUnit = request.firstUnit;
    settings.lastUnit = request.lastUnit;
    settings.timeoutMs = request.scanTimeoutMs;

    Scanner scanner(settings);
    // The progress line is for a person watching; a script's log gets none.
    const bool showProgress = ::isatty(STDERR_FILENO);
    int foundCount = 0;
    scanner.onFound = [&](const FoundTransmitter &) { ++foundCount; };
    scanner.onProgress = [&](const Scanner::Progress &p) {
        if (stopping())
            scanner.cancel();
        if (showProgress)
            std::fprintf(stderr, "\r\033[Kscan: %d/%d, %.1f s left, %d found", p.done, p.total,
                         p.msLeft / 1000.0, foundCount);
    };

    const Scanner::Outcome outcome = scanner.run();
    if (showProgress)
        std::fputs("\r\033[K", stderr);
    if (outcome == Scanner::Outcome::PortFailure) {
        std::fprintf(stderr,
                     "quorvel-setup-cli: %s; check the port name, that the adapter is plugged "
                     "in, that you may open it (group dialout) and that no other program holds "
                     "it\n",
                     scanner.failureText().toUtf8().constData());
        return PortFailure;
    }

    const QStringList &skipped = scanner.skippedLines();
    if (!skipped.isEmpty() && skipped.size() == settings.lines().size()) {
        std::fprintf(stderr, "quorvel-setup-cli: %s; check that the adapter supports it\n",
                     skipped.first().toUtf8().constData());
        return PortFailure;
    }
    if (!skipped.isEmpty())
        std::fprintf(stderr,
                     "quorvel-setup-cli: skipped %d of the %d line settings, which the port "
                     "cannot be set to (%s)\n",
                     int(skipped.size()), int(settings.lines().size()),
                     skipped.first().toUtf8().constData());

    const QList<FoundTransmitter> &found = scanner.found();
    QByteArray out;
    if (request.format == QLatin1String("json"))
        out = ScanReport::json(found);
    else if (request.format == QLatin1String("csv"))
        out = ScanReport::csv(found);
    else if (!found.isEmpty())
        out = ScanReport::text(found).toUtf8();
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    std::fflush(stdout);

    if (outcome == Scanner::Outcome::Cancelled)
        std::fprintf(stderr,
                     "quorvel-setup-cli: scan cancelled; the list holds what was found "
                     "so far\n");
    if (found.isEmpty()) {
        std::fprintf(stderr,
                     "quorvel-setup-cli: No transmitter answered %s; check the wiring and power, "
                     "the port, and the line settings (--all-lines tries all 42)\n",
                     request.lone ? "address 255 at any line setting"
                                  : qPrintable(QStringLiteral("at %1, addresses %2-%3")
                                                   .arg(settings.allLines
                                                            ? QStringLiteral("any line setting")
                                                            : settings.line.displayText())
                                                   .arg(settings.firstUnit)
                                                   .arg(settings.lastUnit)));
        return NoValidAnswer;
    }
    return Success;
}

} // namespace Commands
