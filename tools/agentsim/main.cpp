// docentor-agentsim: simulated student computers for trying the console.
// docentor-agentsim --help lists the options and the output lines.
#include "nameservice.h"
#include "options.h"
#include "output.h"
#include "simulator.h"
#include "stopsignals.h"

#include <QGuiApplication>

#include <cstdio>

#if defined(__SANITIZE_ADDRESS__)
// The font libraries keep allocations for the life of the process; they are
// not this program's leaks.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig\nleak:libdbus\nleak:libglib\n";
}
#endif

int main(int argc, char *argv[])
{
    // The screens are painted off screen; no display is needed.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("docentor-agentsim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));

    agentsim::Options options;
    QString message;
    switch (agentsim::parseOptions(QCoreApplication::arguments(), options, message)) {
    case agentsim::ParseOutcome::Help:
    case agentsim::ParseOutcome::Version:
        std::fputs(qPrintable(message + QLatin1Char('\n')), stdout);
        return 0;
    case agentsim::ParseOutcome::Error:
        std::fputs(qPrintable(message + QStringLiteral("\nSee --help.\n")), stderr);
        return 2;
    case agentsim::ParseOutcome::Run:
        break;
    }

    agentsim::output::setQuiet(options.quiet);
    agentsim::Simulator simulator(options);
    agentsim::NameService names(options);
    names.start();
    agentsim::onStopSignal(&simulator,
                           [&simulator](const QString &name) { simulator.stop(name); });
    QObject::connect(&simulator, &agentsim::Simulator::finished, &app,
                     [](int exitCode) { QCoreApplication::exit(exitCode); });
    simulator.start();
    return app.exec();
}
