#pragma once

namespace platform {

// A program built for the desktop's window system has no console of its own
// on Windows: its answers to --version and --help go to the console it was
// started from, when there is one. Elsewhere nothing to do.
void useParentConsole();

} // namespace platform
