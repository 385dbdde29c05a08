#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace agentsim {

// Calls stop on context's thread, with the signal's name ("SIGINT",
// "SIGTERM"), when the system asks the program to end; a broken connection
// no longer ends the program.
void onStopSignal(QObject *context, std::function<void(const QString &name)> stop);

} // namespace agentsim
