#pragma once

#include <functional>

namespace bench::hostile {

// Runs the event loop until done answers true or the time is up.
bool waitFor(const std::function<bool()> &done, int timeoutMs);

// The attacks the console bounds in total rather than per connection.
void logFlood(int seconds);
void nameChurn(int seconds);
void streamFlood(int connections, int pictureMiB, int seconds);

} // namespace bench::hostile
