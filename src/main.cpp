#include "platform/console.h"
#include "platform/openfilelimit.h"
#include "commandline.h"
#include "startup.h"

#include <QGuiApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    platform::useParentConsole();
    if (const std::optional<CommandLineAnswer> answer = commandLineAnswer(argc, argv)) {
        std::FILE *stream = answer->toStandardError ? stderr : stdout;
        std::fputs(answer->text.toUtf8().constData(), stream);
        if (std::fflush(stream) != 0)
            return 1;
        return answer->exitCode;
    }
    // Lets a Wayland desktop show the window under the menu entry's name and
    // icon (packaging/example.docentor.Docentor.desktop); on X11 the entry's
    // StartupWMClass does that.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.docentor.Docentor"));
    // Before anything is opened: the cap on connections follows the limit.
    platform::raiseOpenFileLimit();
    return runConsole(argc, argv);
}
