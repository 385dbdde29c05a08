#include "shell/commandline.h"
#include "shell/startup.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (const std::optional<QString> answer = commandLineAnswer(argc, argv)) {
        std::fputs(answer->toUtf8().constData(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    return runConsole(argc, argv);
}
