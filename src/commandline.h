#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the console answers on its command line without starting: its version
// or a short help for the technician, both to be printed on standard output.
// Empty for any other command line, Qt's own options among them: those are
// the application's. Works before any application object exists, so no
// display is needed.
std::optional<QString> commandLineAnswer(const QStringList &arguments);
std::optional<QString> commandLineAnswer(int argc, char **argv);
