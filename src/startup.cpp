#include "startup.h"

#include "platform/cp1250.h"
#include "platform/singleinstance.h"
#include "shell/dialogs.h"
#include "shell/paintpace.h"
#include "shell/tfmain.h"
#include "shell/tfprogress.h"
#include "storage/settings.h"
#include "update/tfupdate.h"

#include <QApplication>
#include <QComboBox>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <optional>

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
    try {
        windows.main = new TFMain;
        windows.main->setWaitWindow(std::make_unique<TFProgress>(windows.main));
        windows.update = new TFUpdate;
        windows.main->setUpdateWindow(windows.update);
    } catch (...) {
        // The start-up guard shows the error; the windows made so far go.
        destroyWindows(windows);
        throw;
    }
    // Packets and stream progress change these two windows far faster than
    // a screen shows.
    new PaintPace(windows.main);
    new PaintPace(windows.main->waitWindow(), true);
    return windows;
}

void destroyWindows(AppWindows &windows)
{
    // Workers may still post to the wait window; they end first.
    if (windows.main)
        windows.main->waitForWorkers();
    delete windows.update;
    delete windows.main; // and its wait window
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

bool runStartupStep(const std::function<void()> &step)
{
    try {
        step();
        return true;
    } catch (const std::exception &error) {
        Dialogs::showError(nullptr, QString::fromUtf8(error.what()));
    } catch (...) {
        Dialogs::showError(nullptr, QString());
    }
    return false;
}

bool refusedWithoutCodec()
{
    if (cp1250::available())
        return false;
    Dialogs::showError(nullptr,
                       QStringLiteral("Nie można uruchomić programu: brak obsługi kodowania "
                                      "znaków Windows-1250.\nBez niej teksty od uczniów, "
                                      "dziennik i ustawienia straciłyby polskie litery. "
                                      "Potrzebna jest biblioteka Qt z obsługą ICU."));
    return true;
}

bool refusedUnsafeMarker(const SingleInstance &marker)
{
    switch (marker.unsafe()) {
    case SingleInstance::Unsafe::No:
        return false;
    case SingleInstance::Unsafe::Folder:
        Dialogs::showError(nullptr,
                           QStringLiteral("Nie można uruchomić programu: katalog „%1” musi należeć "
                                          "do bieżącego użytkownika i nie może być dostępny dla "
                                          "innych użytkowników.")
                                   .arg(marker.folder()));
        return true;
    case SingleInstance::Unsafe::LockFile:
        Dialogs::showError(nullptr, QStringLiteral("Nie można uruchomić programu: plik „%1” nie "
                                                   "jest zwykłym plikiem bieżącego użytkownika.")
                                            .arg(marker.lockPath()));
        return true;
    }
    return true;
}

namespace {

void installQtTexts(QTranslator &qtTexts)
{
    // The buttons of the standard boxes (Tak / Nie) in the user's language.
    if (qtTexts.load(QLocale::system(), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);
}

void takePortOverride()
{
    // Lets a second console on one machine, a demonstration or the tests use
    // another port; without it the console listens on 6500.
    bool portGiven = false;
    const int port = qEnvironmentVariableIntValue("DOCENTOR_PORT", &portGiven);
    if (portGiven && port >= 0 && port <= 65535)
        Classroom::listenPortOverride = port;
}

} // namespace

int runConsole(int argc, char **argv)
{
    ConsoleApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Docentor"));
    QApplication::setQuitOnLastWindowClosed(false);

    QTranslator qtTexts;
    AppWindows windows;
    std::optional<SingleInstance> marker;
    int exitCode = 0;
    bool running = false;
    // Every step up to the message loop is guarded: whatever one throws ends
    // the run with the error box and without the loop. The exit status says
    // so too (1), for the script or service that started the console; a
    // second copy, which leaves the first one running, ends with 0.
    const bool started = runStartupStep([&] {
        installQtTexts(qtTexts);
        takePortOverride();
        // Without the code page every text would quietly turn into "?"; a
        // refusal the teacher can read is better.
        if (refusedWithoutCodec()) {
            exitCode = 1;
            return;
        }
        windows = createWindows();
        marker.emplace(QStringLiteral("Mervix-Tablor(Admin)"));
        if (refusedUnsafeMarker(*marker)) {
            exitCode = 1;
            return;
        }
        if (marker->alreadyExists()) {
            Dialogs::instance().message(nullptr, QApplication::applicationName(),
                                        QStringLiteral("Ten program jest już uruchomiony !"),
                                        Dialogs::Icon::None);
            return;
        }
        startConsole(*windows.main);
        running = true;
    });
    if (!started)
        exitCode = 1;

    if (running) {
        // Closing the main window ends the program.
        QObject::connect(windows.main, &TFMain::closed, &app, &QApplication::quit);
        windows.main->showMaximized();
        app.exec();
    }
    destroyWindows(windows);
    return exitCode;
}
