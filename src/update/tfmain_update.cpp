// The version check: a worker asks the vendor's web server for the version
// file; a newer version is offered from the user-interface thread.
#include "shell/tfmain.h"

#include "shell/dialogs.h"
#include "update/tfupdate.h"
#include "update/updatehost.h"
#include "update/versioncheck.h"

#include <QLabel>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int QuestionDelayMs = 1000;

QString versionLines()
{
    return QStringLiteral("Aktualna wersja programu to: ") + update::ProgramVersion.text()
           + QStringLiteral("\nWersja dostępna na serwerze to: ") + update::serverVersion().text()
           + QStringLiteral("\n\n");
}

} // namespace

void TFMain::CheckForNewVersion(bool silent)
{
    // The settings file is read here, on the user-interface thread.
    const QUrl url = update::updateUrl(update::VersionFilePath);

    std::lock_guard lock(m_workersMutex);
    m_workers.emplace_back([this, silent, url] {
        const update::VersionAnswer answer = update::fetchServerVersion(url, m_stopWorkers);
        const bool newer = answer.kind == update::VersionAnswer::Found
                           && answer.version.isNewerThan(update::ProgramVersion);
        if (answer.kind == update::VersionAnswer::Found)
            update::setServerVersion(answer.version);

        // Everything the check shows happens on the user-interface thread.
        switch (answer.kind) {
        case update::VersionAnswer::Stopped:
        case update::VersionAnswer::NotAvailable:
            break;
        case update::VersionAnswer::NoConnection:
            if (!silent) {
                postToWindow([this] {
                    Dialogs::instance().message(
                            this, QStringLiteral("Aktualizacja"),
                            QStringLiteral("Błąd podczas próby połączenia z internetem"),
                            Dialogs::Icon::Warning);
                });
            }
            break;
        case update::VersionAnswer::Found:
            if (newer) {
                // The question comes from the timer, so that it and the
                // update window always belong to the user-interface thread.
                postToWindow([this] {
                    UpdateTimer->setInterval(QuestionDelayMs);
                    UpdateTimer->start();
                });
            } else if (!silent) {
                postToWindow([this] {
                    Dialogs::instance().message(
                            this, QString(),
                            versionLines() + QStringLiteral("Brak nowej wersji do pobrania."),
                            Dialogs::Icon::None);
                });
            }
            break;
        }

        // A finished check does not wait for the console's end to be joined.
        postToWindow([this, self = std::this_thread::get_id()] {
            update::countCompletedCheck();
            std::thread finished;
            {
                std::lock_guard workersLock(m_workersMutex);
                const auto it
                        = std::find_if(m_workers.begin(), m_workers.end(),
                                       [self](const std::thread &t) { return t.get_id() == self; });
                if (it == m_workers.end())
                    return;
                finished = std::move(*it);
                m_workers.erase(it);
            }
            finished.join();
        });
    });
}

void TFMain::Sprawdczyjestnowawersja1Click()
{
    CheckForNewVersion(false);
}

void TFMain::UpdateTimerTimer()
{
    // One question per positive check.
    UpdateTimer->stop();
    const bool fetch = Dialogs::instance().question(
            this, QStringLiteral("Nowa wersja"),
            versionLines() + QStringLiteral("Czy chcesz pobrać nową wersje programu ?"));
    if (!fetch || !FUpdate)
        return;
    FUpdate->VersionLabel->setText(update::ProgramVersion.text());
    FUpdate->NewVersionLabel->setText(update::serverVersion().text());
    FUpdate->exec();
    // The update window has started the installer and closed this window
    // already unless it is still open.
    if (closeWithoutAsking && isVisible())
        close();
}
