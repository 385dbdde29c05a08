#pragma once

#include <functional>

class SingleInstance;
class TFMain;
class TFUpdate;

// The windows of the run, created hidden in this order: the main window, its
// wait window (which the main window keeps), the update window (which the
// main window is given).
struct AppWindows
{
    TFMain *main = nullptr;
    TFUpdate *update = nullptr;
};
AppWindows createWindows();
void destroyWindows(AppWindows &windows);

// The steps of start-up after the windows exist and the single-instance check
// has passed: local host line, server, first items of the drop-down lists, the
// silent version check, and the first-run mark. Throws what the server throws
// when its port cannot be opened.
void startConsole(TFMain &main);

// Runs one part of start-up. Whatever it throws, of any type, is shown in the
// standard error box (with an empty text when it is no std::exception) and
// the answer is false.
bool runStartupStep(const std::function<void()> &step);

// The checks that refuse the run with an error box before anything starts:
// Qt cannot convert Windows-1250, or the single-instance marker's folder or
// file is not safely this user's own. True when refused.
bool refusedWithoutCodec();
bool refusedUnsafeMarker(const SingleInstance &marker);

// The whole program: returns the exit code (0 after a normal run and after
// refusing a second copy; 1 after a start-up error or one of the refusals
// above).
int runConsole(int argc, char **argv);
