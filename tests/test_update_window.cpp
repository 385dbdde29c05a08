// The update window over a real HTTP server on this machine: what it shows
// of a download, and the way out it offers afterwards.
#include "support/fakedialogs.h"
#include "support/httpserver.h"
#include "support/tempdata.h"
#include "update/httpget.h"
#include "update/tfupdate.h"

#include "storage/eventlog.h"
#include "startup.h"
#include "shell/tfmain.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {

const QByteArray InstallerPath = "/mervix/tablor/program/tabloradminsetup.exe";
const QString Downloading = QStringLiteral("Pobieranie nowej wersji programu");
const QString ReadError = QStringLiteral("Błąd podczas próby czytania pliku...");
const QString WriteError = QStringLiteral("Błąd zapisu do pliku");
const QString ConnectionError = QStringLiteral("Błąd połączenia...");

// The console's windows with a private data folder, scripted dialogs and
// the vendor's server played by a local HTTP server.
struct UpdateWindowFixture
{
    TempDataHome data;
    FakeDialogs dialogs;
    HttpTestServer http;
    AppWindows windows;
    QStringList started;

    UpdateWindowFixture()
    {
        Classroom::listenPortOverride = 0;
        if (!http.listen())
            qFatal("the test HTTP server cannot listen");
        qputenv("DOCENTOR_UPDATE_HOST", http.address());
        windows = createWindows();
        window().startInstaller = [this](const QString &program) {
            started << program;
        };
    }
    ~UpdateWindowFixture()
    {
        destroyWindows(windows);
        Classroom::listenPortOverride = -1;
    }

    TFMain &main() { return *windows.main; }
    TFUpdate &window() { return *windows.update; }
    QString installerFile() const
    {
        return data.dataFolder() + QStringLiteral("/admin_update.exe");
    }

    // Opens the window, which starts a download, and waits for its end.
    bool download(bool *succeeded = nullptr)
    {
        QSignalSpy finished(&window(), &TFUpdate::downloadFinished);
        window().show();
        if (!finished.wait(20000))
            return false;
        if (succeeded)
            *succeeded = finished.first().first().toBool();
        return true;
    }
};

} // namespace

class UpdateWindowTest : public QObject
{
    Q_OBJECT
private slots:
    void init() { update::setIdleTimeout(std::chrono::milliseconds(300)); }
    void cleanup() { update::setIdleTimeout(std::chrono::seconds(30)); }

    void theWindow()
    {
        UpdateWindowFixture f;
        TFUpdate &w = f.window();
        QCOMPARE(w.windowTitle(), QStringLiteral("Aktualizacja"));
        // Fixed, at its design size unless its texts need more room in the
        // window's font.
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(w.width() >= 402);
        QCOMPARE(w.height(), 118);
        QVERIFY(!(w.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(!(w.windowFlags() & Qt::WindowMinMaxButtonsHint));
        QCOMPARE(w.Label1->text(), QStringLiteral("Aktualna wersja:"));
        QCOMPARE(w.Label2->text(), QStringLiteral("Nowa wersja:"));
        QCOMPARE(w.Label3->text(), QStringLiteral("Postęp pobierania:"));
        QCOMPARE(w.StatusLabel->text(), QStringLiteral("Status"));
        QCOMPARE(w.CloseButton->text(), QStringLiteral("Zamknij"));
        QVERIFY(!w.CloseButton->isEnabled());
        QVERIFY(w.ProgressBar->isTextVisible());
        // What assistive tools read for each control is its visible label.
        QCOMPARE(w.VersionLabel->accessibleName(), w.Label1->text());
        QCOMPARE(w.NewVersionLabel->accessibleName(), w.Label2->text());
        QCOMPARE(w.ProgressBar->accessibleName(), w.Label3->text());
        QCOMPARE(w.CloseButton->accessibleName(), w.CloseButton->text());
    }

    // Each end of a download in the status line, the gauge and the button.
    void showsTheEnd_data()
    {
        QTest::addColumn<HttpTestServer::Response>("response");
        QTest::addColumn<bool>("folderInTheWay");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("succeeded");
        QTest::newRow("250 bytes") << HttpTestServer::Response(200, QByteArray(250, 'i')) << false
                                   << Downloading << true;
        QTest::newRow("empty body")
                << HttpTestServer::Response(200, QByteArray()) << false << Downloading << true;
        QTest::newRow("error page") << HttpTestServer::Response(404, "<html>Nie znaleziono</html>")
                                    << false << ReadError << false;
        HttpTestServer::Response silent(200, QByteArray(250, 'i'));
        silent.delivery = HttpTestServer::Delivery::Silent;
        QTest::newRow("no answer at all") << silent << false << ConnectionError << false;
        QTest::newRow("a folder in the way") << HttpTestServer::Response(200, QByteArray(250, 'i'))
                                             << true << WriteError << false;
    }
    void showsTheEnd()
    {
        QFETCH(HttpTestServer::Response, response);
        QFETCH(bool, folderInTheWay);
        QFETCH(QString, status);
        QFETCH(bool, succeeded);
        UpdateWindowFixture f;
        f.http.serve(InstallerPath, response);
        if (folderInTheWay)
            f.data.writeFile(QStringLiteral("admin_update.exe/inside"), "x");

        bool outcome = !succeeded;
        QVERIFY(f.download(&outcome));
        TFUpdate &w = f.window();
        QCOMPARE(outcome, succeeded);
        QCOMPARE(w.downloadSucceeded(), succeeded);
        QCOMPARE(w.StatusLabel->text(), status);
        QCOMPARE(w.CloseButton->text(),
                 succeeded ? QStringLiteral("Uruchom") : QStringLiteral("Zamknij"));
        QCOMPARE(w.CloseButton->accessibleName(), w.CloseButton->text());
        QVERIFY(w.CloseButton->isEnabled());
        // An empty range would be drawn as a busy bar for ever.
        QCOMPARE(w.ProgressBar->minimum(), 0);
        QVERIFY(w.ProgressBar->maximum() > 0);
        if (succeeded) {
            if (!response.body.isEmpty())
                QCOMPARE(w.ProgressBar->maximum(), int(response.body.size()));
            QCOMPARE(w.ProgressBar->value(), w.ProgressBar->maximum());
            QCOMPARE(w.installerPath(), f.installerFile());
        }
    }

    // The worker's one failed lookup of the data folder is reported once: in
    // the main window's status field and, once there is a folder again, in
    // exactly one entry of the day log.
    void noDataFolder()
    {
        UpdateWindowFixture f;
        f.http.serve(InstallerPath, HttpTestServer::Response(200, QByteArray(250, 'i')));
        // A file where the data folder belongs: it can be neither had nor made.
        QDir(f.data.dataFolder()).removeRecursively();
        QVERIFY(QFile(f.data.dataFolder()).open(QIODevice::WriteOnly));
        bool outcome = true;
        QVERIFY(f.download(&outcome));
        QVERIFY(!outcome);
        QCOMPARE(f.window().StatusLabel->text(), WriteError);
        const QByteArray message = "Błąd tworzenia katalagu.\nKod błędu: ";
        QVERIFY(f.main().StatusEdit->text().startsWith(QString::fromUtf8(message)));
        QVERIFY(QFile::remove(f.data.dataFolder()));
        WriteLog("SEND: OK");
        QCOMPARE(f.data.readLog().count("katalagu."), 1);
    }

    void runStartsTheInstallerAndClosesTheConsole()
    {
        UpdateWindowFixture f;
        f.data.writeFile(QStringLiteral("settings.set"), "<FIRST RUN>FALSE\r\n<INNE>x\r\n");
        f.http.serve(InstallerPath, HttpTestServer::Response(200, QByteArray(250, 'i')));
        QSignalSpy closed(&f.main(), &TFMain::closed);
        QSignalSpy installerStarted(&f.window(), &TFUpdate::installerStarted);
        QVERIFY(f.download());
        QVERIFY(f.started.isEmpty());

        f.window().CloseButton->click();
        QCOMPARE(f.started, QStringList{f.installerFile()});
        QCOMPARE(f.data.readFile(QStringLiteral("settings.set")),
                 QByteArray("<FIRST RUN>TRUE\r\n<INNE>x\r\n"));
        QCOMPARE(installerStarted.size(), 1);
        QCOMPARE(closed.size(), 1);
        QVERIFY(f.dialogs.shown.isEmpty()); // no "Zamykanie" question
        QVERIFY(!f.window().isVisible());
    }

    void closeAfterAFailureGoesBack()
    {
        UpdateWindowFixture f;
        f.http.serve(InstallerPath, HttpTestServer::Response(404, "brak"));
        f.main().closeWithoutAsking = true;
        QSignalSpy closed(&f.main(), &TFMain::closed);
        QSignalSpy installerStarted(&f.window(), &TFUpdate::installerStarted);
        QVERIFY(f.download());

        f.window().CloseButton->click();
        QVERIFY(f.started.isEmpty());
        QVERIFY(!f.window().isVisible());
        QCOMPARE(installerStarted.size(), 0);
        QCOMPARE(closed.size(), 0);
        QVERIFY(!f.data.readFile(QStringLiteral("settings.set")).contains("TRUE"));
        // The console asks again on close.
        f.dialogs.questionAnswers = {false};
        QVERIFY(!f.main().close());
        QCOMPARE(f.dialogs.shown.size(), 1);
        QCOMPARE(f.dialogs.shown.last().caption, QStringLiteral("Zamykanie"));
    }

    // Until the download has ended the window has no way out; a second
    // opening runs a download of its own.
    void noWayOutWhileDownloading()
    {
        UpdateWindowFixture f;
        update::setIdleTimeout(std::chrono::seconds(2));
        HttpTestServer::Response stalled(200, QByteArray(250, 'i'));
        stalled.delivery = HttpTestServer::Delivery::HeaderOnly;
        f.http.serve(InstallerPath, stalled);
        QSignalSpy served(&f.http, &HttpTestServer::requestServed);
        QSignalSpy finished(&f.window(), &TFUpdate::downloadFinished);

        f.window().show();
        QVERIFY(served.wait(10000));
        QTRY_COMPARE(f.window().StatusLabel->text(), Downloading);
        QVERIFY(!f.window().CloseButton->isEnabled());
        f.window().close();
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&f.window(), &escape);
        QVERIFY(f.window().isVisible());
        QVERIFY(finished.isEmpty());

        QVERIFY(finished.wait(20000));
        QCOMPARE(f.window().StatusLabel->text(), ReadError);
        f.window().close();
        QVERIFY(f.window().isVisible());
        f.window().CloseButton->click();
        QVERIFY(!f.window().isVisible());

        f.http.serve(InstallerPath, HttpTestServer::Response(200, QByteArray(250, 'i')));
        f.window().show();
        QCOMPARE(f.window().StatusLabel->text(), QStringLiteral("Status"));
        QVERIFY(!f.window().CloseButton->isEnabled());
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.last().first().toBool(), true);
        QCOMPARE(f.window().CloseButton->text(), QStringLiteral("Uruchom"));
    }
};

QTEST_MAIN(UpdateWindowTest)
#include "test_update_window.moc"
