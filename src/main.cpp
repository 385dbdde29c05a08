#include "platform/console.h"
#include "platform/openfilelimit.h"
#include "commandline.h"
#include "startup.h"

#include <QGuiApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    platform::useParentConsole();
    if (const std::optional<QString> answer = commandLineAnswer(argc, argv)) {
        std::fputs(answer->toUtf8().constData(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    // Lets a Wayland desktop show the window under the menu entry's name and
    // icon (packaging/example.docentor.Docentor.desktop); on X11 the entry's
    // StartupWMClass does that.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.docentor.Docentor"));
    // Before anything is opened: the cap on connections follows the limit.
    platform::raiseOpenFileLimit();
    return runConsole(argc, argv);
}
