#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the console answers on its command line without starting: its version
// or a short help for the technician, both printed on standard output with
// exit status 0, or the refusal of an option neither the console nor Qt
// knows, printed with the help on standard error with a non-zero status.
// Empty for any other command line, Qt's own options among them: those are
// the application's. Works before any application object exists, so no
// display is needed.
struct CommandLineAnswer
{
    QString text;
    int exitCode = 0;
    bool toStandardError = false;
};
std::optional<CommandLineAnswer> commandLineAnswer(const QStringList &arguments);
std::optional<CommandLineAnswer> commandLineAnswer(int argc, char **argv);

// The exit status of a refused command line: 2, as most tools use for one.
inline constexpr int UsageExitCode = 2;
