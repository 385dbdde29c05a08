// The version check's side in the main window: its menu item, the boxes for
// what a check found, and the question that offers a newer version.
#include "shell/tfmain.h"

#include "shell/dialogs.h"
#include "update/tfupdate.h"
#include "update/updatehost.h"
#include "update/versioncheck.h"

#include <QLabel>
#include <QScopedValueRollback>
#include <QTimer>

namespace {

constexpr int QuestionDelayMs = 1000;

QString versionLines()
{
    return QStringLiteral("Aktualna wersja programu to: ") + update::ProgramVersion.text()
           + QStringLiteral("\nWersja dostępna na serwerze to: ") + update::serverVersion().text()
           + QStringLiteral("\n\n");
}

} // namespace

update::VersionCheck &TFMain::versionCheck()
{
    if (m_versionCheck)
        return *m_versionCheck;
    m_versionCheck = new update::VersionCheck(this);
    // The question comes from the timer, a second after the check.
    connect(m_versionCheck, &update::VersionCheck::newerVersionFound, this, [this] {
        UpdateTimer->setInterval(QuestionDelayMs);
        UpdateTimer->start();
    });
    connect(m_versionCheck, &update::VersionCheck::noNewerVersion, this, [this] {
        Dialogs::instance().message(
                this, QString(), versionLines() + QStringLiteral("Brak nowej wersji do pobrania."),
                Dialogs::Icon::None);
    });
    connect(m_versionCheck, &update::VersionCheck::connectionFailed, this, [this] {
        Dialogs::instance().message(this, QStringLiteral("Aktualizacja"),
                                    QStringLiteral("Błąd podczas próby połączenia z internetem"),
                                    Dialogs::Icon::Warning);
    });
    return *m_versionCheck;
}

void TFMain::waitForWorkers()
{
    // A stream's result still on its way has no window left to show it.
    if (m_classroom)
        m_classroom->stopStream();
    if (m_versionCheck)
        m_versionCheck->stop();
}

void TFMain::CheckForNewVersion(bool silent)
{
    // The settings file is read here, on the user-interface thread.
    versionCheck().start(update::updateUrl(update::VersionFilePath), silent);
}

void TFMain::Sprawdczyjestnowawersja1Click()
{
    CheckForNewVersion(false);
}

void TFMain::setUpdateWindow(TFUpdate *window)
{
    m_updateWindow = window;
    if (!window)
        return;
    connect(window, &TFUpdate::installerStarted, this, [this] {
        closeWithoutAsking = true;
        close();
    });
    // Going back from a failed download leaves the console as it was: it
    // asks again on close.
    connect(window, &QDialog::rejected, this, [this] { closeWithoutAsking = false; });
}

TFUpdate *TFMain::updateWindow() const
{
    return m_updateWindow;
}

void TFMain::UpdateTimerTimer()
{
    // One question per positive check.
    UpdateTimer->stop();
    // A check that ends while the teacher is being asked, or while the update
    // window is open, has nothing new to ask about.
    if (!m_offeringUpdate && !(m_updateWindow && m_updateWindow->isVisible()))
        offerUpdate();
}

void TFMain::offerUpdate()
{
    const QScopedValueRollback offering(m_offeringUpdate, true);
    const bool fetch = Dialogs::instance().question(
            this, QStringLiteral("Nowa wersja"),
            versionLines() + QStringLiteral("Czy chcesz pobrać nową wersje programu ?"));
    if (!fetch || !m_updateWindow)
        return;
    m_updateWindow->VersionLabel->setText(update::ProgramVersion.text());
    m_updateWindow->NewVersionLabel->setText(update::serverVersion().text());
    // A started installer closes this window from inside.
    m_updateWindow->exec();
}
