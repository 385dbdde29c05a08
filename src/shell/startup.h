#pragma once

class TFMain;
class TFProgress;
class TFUpdate;

// The three windows of the run, created hidden in this order: the main
// window, the wait window, the update window. They also become FMain,
// FProgress and FUpdate.
struct AppWindows
{
    TFMain *main = nullptr;
    TFProgress *progress = nullptr;
    TFUpdate *update = nullptr;
};
AppWindows createWindows();
void destroyWindows(AppWindows &windows);

// The steps of start-up after the windows exist and the single-instance check
// has passed: local host line, server, first items of the drop-down lists, the
// silent version check, and the first-run mark. Throws what the server throws
// when its port cannot be opened.
void startConsole(TFMain &main);

// The whole program: returns the exit code.
int runConsole(int argc, char **argv);
