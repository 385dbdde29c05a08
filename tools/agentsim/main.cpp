// docentor-agentsim: simulated student computers for trying the console.
// docentor-agentsim --help lists the options and the output lines.
#include "nameservice.h"
#include "options.h"
#include "output.h"
#include "simulator.h"

#include <QGuiApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
// The font libraries keep allocations for the life of the process; they are
// not this program's leaks.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig\nleak:libdbus\nleak:libglib\n";
}
#endif

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const char byte = char(number);
    // Nothing but write() is safe here; the event loop does the rest.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void catchSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    // The screens are painted off screen; no display is needed.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::signal(SIGPIPE, SIG_IGN);

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
    catchSignals();
    agentsim::Simulator simulator(options);
    agentsim::NameService names(options);
    names.start();
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &simulator, [&simulator] {
        char byte = 0;
        if (::read(signalPipe[0], &byte, 1) != 1)
            return;
        simulator.stop(byte == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM"));
    });
    QObject::connect(&simulator, &agentsim::Simulator::finished, &app,
                     [](int exitCode) { QCoreApplication::exit(exitCode); });
    simulator.start();
    return app.exec();
}
