#pragma once

#include <QtGlobal>

#include <functional>

namespace bench::hostile {

// Runs the event loop until done answers true or the time is up.
bool waitFor(const std::function<bool()> &done, int timeoutMs);

// The attacks the console bounds per connection (perconnection.cpp).
void idleConnections(int count);
void processList(qint32 declared);
void picture(int width, int height, int scans);
void forgery(int packets);
void unasked();
void stalled();
// The child process of idleConnections that holds them open.
int holdIdleConnections(quint16 port, int count, const char *address);

// The attacks the console bounds in total rather than per connection.
void logFlood(int seconds);
void nameChurn(int seconds);
void streamFlood(int connections, int pictureMiB, int seconds);

} // namespace bench::hostile
