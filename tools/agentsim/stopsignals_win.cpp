#include "stopsignals.h"

#include <QMetaObject>
#include <QPointer>

#include <mutex>

#include <windows.h>

namespace agentsim {

namespace {

std::mutex handlerMutex;
QPointer<QObject> stopContext;
std::function<void(const QString &)> stopHandler;

// Runs on a thread of the system's own; the stop itself is left to the
// context's thread.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    const QString name
            = event == CTRL_C_EVENT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM");
    std::lock_guard lock(handlerMutex);
    if (!stopContext || !stopHandler)
        return FALSE;
    QMetaObject::invokeMethod(
            stopContext, [handler = stopHandler, name] { handler(name); }, Qt::QueuedConnection);
    return TRUE;
}

} // namespace

void onStopSignal(QObject *context, std::function<void(const QString &name)> stop)
{
    std::lock_guard lock(handlerMutex);
    stopContext = context;
    stopHandler = std::move(stop);
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

} // namespace agentsim
