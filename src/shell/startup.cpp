#include "shell/startup.h"

#include "platform/singleinstance.h"
#include "shell/dialogs.h"
#include "shell/paintpace.h"
#include "shell/settings.h"
#include "shell/tfmain.h"
#include "shell/tfprogress.h"
#include "update/tfupdate.h"

#include <QApplication>
#include <QComboBox>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace {

// An error that escapes an event handler is shown in the standard box and
// the event loop goes on.
class ConsoleApplication : public QApplication
{
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception &error) {
            Dialogs::showError(nullptr, QString::fromUtf8(error.what()));
        } catch (...) {
            Dialogs::showError(nullptr, QString());
        }
        return false;
    }
};

} // namespace

AppWindows createWindows()
{
    AppWindows windows;
    windows.main = new TFMain;
    windows.progress = new TFProgress(windows.main);
    FProgress = windows.progress;
    windows.update = new TFUpdate(windows.main);
    FUpdate = windows.update;
    // Packets and stream progress change these two windows far faster than
    // a screen shows.
    new PaintPace(windows.main);
    new PaintPace(windows.progress);
    return windows;
}

void destroyWindows(AppWindows &windows)
{
    // Workers may still post to the wait window; they end first.
    if (windows.main)
        windows.main->waitForWorkers();
    delete windows.update;
    FUpdate = nullptr;
    delete windows.progress;
    FProgress = nullptr;
    delete windows.main;
    windows = {};
}

void startConsole(TFMain &main)
{
    main.ShowLocalHostInfo();
    main.StartServer();
    main.MessageTypeComboBox->setCurrentIndex(0);
    main.PowerOffPCOption->setCurrentIndex(0);
    main.GroupPowerOffPCOption->setCurrentIndex(0);
    main.CheckForNewVersion(true);
    if (ReadSetting(settings::FirstRunTag) != "FALSE")
        WriteSetting(settings::FirstRunTag, "FALSE");
}

int runConsole(int argc, char **argv)
{
    ConsoleApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Docentor"));
    QApplication::setQuitOnLastWindowClosed(false);

    // The buttons of the standard boxes (Tak / Nie) in the user's language.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale::system(), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);

    // Lets a second console on one machine, a demonstration or the tests use
    // another port; without it the console listens on 6500.
    bool portGiven = false;
    const int port = qEnvironmentVariableIntValue("DOCENTOR_PORT", &portGiven);
    if (portGiven && port >= 0 && port <= 65535)
        TFMain::listenPortOverride = port;

    AppWindows windows = createWindows();

    const SingleInstance marker(QStringLiteral("Mervix-Tablor(Admin)"));
    if (marker.alreadyExists()) {
        Dialogs::instance().message(nullptr, QApplication::applicationName(),
                                    QStringLiteral("Ten program jest już uruchomiony !"),
                                    Dialogs::Icon::None);
        destroyWindows(windows);
        return 0;
    }

    try {
        startConsole(*windows.main);
    } catch (const std::exception &error) {
        Dialogs::showError(nullptr, QString::fromUtf8(error.what()));
        destroyWindows(windows);
        return 0;
    }

    // Closing the main window ends the program.
    QObject::connect(windows.main, &TFMain::closed, &app, &QApplication::quit);
    windows.main->showMaximized();
    app.exec();
    destroyWindows(windows);
    return 0;
}
