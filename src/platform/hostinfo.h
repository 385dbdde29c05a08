#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace platform {

// This computer's name as the system tells it; empty when it cannot.
QByteArray localHostName();

// The first IPv4 address, dotted, that name resolves to; empty when none.
QByteArray firstIPv4Address(const QByteArray &name);

// Makes the coming close of a connected socket a reset, so that nothing of
// it waits in the system for the peer's end.
void resetOnClose(qintptr descriptor);

// Readies the system's sockets for this process; every use of them outside
// Qt goes through it first. Idempotent.
void startSockets();

} // namespace platform
