// The version check: a worker asks the vendor's web server for the version
// file; a newer version is offered from the user-interface thread.
#include "shell/tfmain.h"

#include "shell/dialogs.h"
#include "update/tfupdate.h"
#include "update/updatehost.h"
#include "update/versioncheck.h"

#include <QLabel>
#include <QScopedValueRollback>
#include <QTimer>

#include <algorithm>
#include <functional>

namespace {

constexpr int QuestionDelayMs = 1000;

QString versionLines()
{
    return QStringLiteral("Aktualna wersja programu to: ") + update::ProgramVersion.text()
           + QStringLiteral("\nWersja dostępna na serwerze to: ") + update::serverVersion().text()
           + QStringLiteral("\n\n");
}

// Whatever goes wrong inside the check itself, running out of memory
// included, ends it as a server that could not be asked: the console goes on.
update::VersionAnswer askServer(const QUrl &url, const std::atomic<bool> &stop)
{
    try {
        return update::fetchServerVersion(url, stop);
    } catch (...) {
        return {update::VersionAnswer::NoConnection, {}};
    }
}

void post(TFMain *main, std::function<void()> effect)
{
    QMetaObject::invokeMethod(main, std::move(effect), Qt::QueuedConnection);
}

// Everything the check shows happens on the user-interface thread.
void showOutcome(TFMain *main, const update::VersionAnswer &answer, bool silent)
{
    switch (answer.kind) {
    case update::VersionAnswer::Stopped:
    case update::VersionAnswer::NotAvailable:
        break;
    case update::VersionAnswer::NoConnection:
        if (!silent) {
            post(main, [main] {
                Dialogs::instance().message(
                        main, QStringLiteral("Aktualizacja"),
                        QStringLiteral("Błąd podczas próby połączenia z internetem"),
                        Dialogs::Icon::Warning);
            });
        }
        break;
    case update::VersionAnswer::Found:
        if (answer.version.isNewerThan(update::ProgramVersion)) {
            // The question comes from the timer, so that it and the update
            // window always belong to the user-interface thread.
            post(main, [main] {
                main->UpdateTimer->setInterval(QuestionDelayMs);
                main->UpdateTimer->start();
            });
        } else if (!silent) {
            post(main, [main] {
                Dialogs::instance().message(
                        main, QString(),
                        versionLines() + QStringLiteral("Brak nowej wersji do pobrania."),
                        Dialogs::Icon::None);
            });
        }
        break;
    }
}

} // namespace

void TFMain::CheckForNewVersion(bool silent)
{
    // The settings file is read here, on the user-interface thread.
    const QUrl url = update::updateUrl(update::VersionFilePath);

    std::lock_guard lock(m_workersMutex);
    m_workers.emplace_back([this, silent, url] {
        const update::VersionAnswer answer = askServer(url, m_stopWorkers);
        if (answer.kind == update::VersionAnswer::Found)
            update::setServerVersion(answer.version);
        // Nothing thrown may reach the thread's end, which would end the
        // console; without memory to show the outcome it goes unshown.
        try {
            showOutcome(this, answer, silent);
        } catch (...) {
        }

        // A finished check does not wait for the console's end to be joined.
        try {
            postToWindow([this, self = std::this_thread::get_id()] {
                update::countCompletedCheck();
                std::thread finished;
                {
                    std::lock_guard workersLock(m_workersMutex);
                    const auto it = std::find_if(
                            m_workers.begin(), m_workers.end(),
                            [self](const std::thread &t) { return t.get_id() == self; });
                    if (it == m_workers.end())
                        return;
                    finished = std::move(*it);
                    m_workers.erase(it);
                }
                finished.join();
            });
        } catch (...) {
            // Joined with the others when the console ends.
        }
    });
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
    if (m_offeringUpdate || (m_updateWindow && m_updateWindow->isVisible()))
        return;
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
