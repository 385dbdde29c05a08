#include "platform/openfilelimit.h"
#include "shell/startup.h"

int main(int argc, char **argv)
{
    // Before anything is opened: the cap on connections follows the limit.
    platform::raiseOpenFileLimit();
    return runConsole(argc, argv);
}
