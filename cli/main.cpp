#include "commandline.h"
#include "commands.h"
#include "fieldcommands.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>

#include <csignal>
#include <cstdio>

namespace {

void stopOnSignal(int)
{
    Commands::requestStop();
    FieldCommands::stop.request();
}

} // namespace

int main(int argc, char *argv[])
{
    // With TZ unset the C library checks the zone file on disk at every local time it makes, a
    // file lookup per reading that was the largest cost of a running publisher. Naming the same
    // file once keeps the zone and its daylight-saving rules, read at the first use.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvel-setup-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));

    // The shared transaction traces every step for the window's debug output; here stderr
    // carries only failures. QT_LOGGING_RULES="default.debug=true" brings the trace back.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    CommandLine::Request request;
    QString error;
    if (!CommandLine::parse(application.arguments().mid(1), &request, &error)) {
        std::fprintf(stderr, "quorvel-setup-cli: %s (see quorvel-setup-cli%s --help)\n",
                     error.toUtf8().constData(),
                     request.command.isEmpty() ? "" : qPrintable(' ' + request.command));
        return CommandLine::BadUsage;
    }
    if (!request.manPageFile.isEmpty()) {
        QFile page(request.manPageFile);
        if (!page.open(QIODevice::WriteOnly) || page.write(CommandLine::manPage().toUtf8()) < 0)
            return CommandLine::BadUsage;
        return CommandLine::Success;
    }
    if (request.help || request.version) {
        const QString text =
            request.help ? CommandLine::helpText(request.command) : CommandLine::versionText();
        std::fputs(text.toUtf8().constData(), stdout);
        return CommandLine::Success;
    }

    // Ctrl+C or a terminating signal lets the transaction in flight finish: the port is then
    // closed with no request left half sent. Without SA_RESTART a pause ends at once.
    struct sigaction action = {};
    action.sa_handler = stopOnSignal;
    sigemptyset(&action.sa_mask);
    const bool polls = request.command == QLatin1String("monitor")
        || request.command == QLatin1String("scan") || request.command == QLatin1String("publish")
        || request.command == QLatin1String("set");
    if (polls) {
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    // A closed pipe on standard output is a write error to report, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    if (request.command == QLatin1String("monitor"))
        return FieldCommands::monitor(request);
    if (request.command == QLatin1String("publish"))
        return FieldCommands::publish(request);
    return Commands::run(request);
}
