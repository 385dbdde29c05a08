// The update window: the installer download from a real HTTP server on this
// machine into the data folder, and the way out it offers afterwards.
#include "support/fakedialogs.h"
#include "support/httpserver.h"
#include "support/tempdata.h"
#include "update/httpget.h"
#include "update/tfupdate.h"

#include "shell/startup.h"
#include "shell/tfmain.h"
#include "storage/eventlog.h"

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

#include <new>
#include <stdexcept>

namespace {

const QByteArray InstallerPath = "/mervix/tablor/program/tabloradminsetup.exe";
const QString Downloading = QStringLiteral("Pobieranie nowej wersji programu");
const QString ReadError = QStringLiteral("Błąd podczas próby czytania pliku...");
const QString WriteError = QStringLiteral("Błąd zapisu do pliku");
const QString ConnectionError = QStringLiteral("Błąd połączenia...");

// Readable, writable and startable by the owner alone.
constexpr QFile::Permissions OwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions AnyoneAtAll = OwnerOnly | QFile::ReadGroup | QFile::WriteGroup
                                           | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther
                                           | QFile::ExeOther;

QByteArray installerBytes(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + 3) % 251);
    return bytes;
}

struct UpdateWindowFixture
{
    TempDataHome data;
    FakeDialogs dialogs;
    HttpTestServer http;
    AppWindows windows;
    QStringList started;

    UpdateWindowFixture()
    {
        if (!http.listen())
            qFatal("the test HTTP server cannot listen");
        qputenv("DOCENTOR_UPDATE_HOST", http.address());
        windows = createWindows();
        window().startInstaller = [this](const QString &program) {
            started << program;
        };
    }
    ~UpdateWindowFixture() { destroyWindows(windows); }

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

class UpdateDownloadTest : public QObject
{
    Q_OBJECT
private slots:
    void init() { cleanup(); }
    void cleanup()
    {
        update::setIdleTimeout(std::chrono::seconds(30));
        update::setTransferHook({});
        TFUpdate::setDownloadLimits(TFUpdate::MaxInstallerSize, TFUpdate::DownloadDeadline);
    }

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

    void download_data()
    {
        QTest::addColumn<HttpTestServer::Response>("response");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<bool>("fileKept");

        QTest::newRow("250 bytes") << HttpTestServer::Response(200, installerBytes(250))
                                   << Downloading << true << true;
        QTest::newRow("100 bytes") << HttpTestServer::Response(200, installerBytes(100))
                                   << Downloading << true << true;
        QTest::newRow("64 KiB") << HttpTestServer::Response(200, installerBytes(65536))
                                << Downloading << true << true;
        QTest::newRow("empty body")
                << HttpTestServer::Response(200, QByteArray()) << Downloading << true << true;

        HttpTestServer::Response brokenOff(200, installerBytes(250));
        brokenOff.delivery = HttpTestServer::Delivery::BrokenOff;
        brokenOff.brokenAfter = 120;
        QTest::newRow("body broken off") << brokenOff << ReadError << false << false;

        HttpTestServer::Response longerThanSaid(200, installerBytes(250));
        longerThanSaid.lengthText = "0250abc";
        QTest::newRow("length text with a tail") << longerThanSaid << Downloading << true << true;

        HttpTestServer::Response notANumber(200, installerBytes(10));
        notANumber.lengthText = "dziesięć";
        QTest::newRow("length not a number") << notANumber << ReadError << false << false;

        QTest::newRow("error page 404")
                << HttpTestServer::Response(404, "<html>Nie znaleziono</html>") << ReadError
                << false << false;
        QTest::newRow("error page 500")
                << HttpTestServer::Response(500, "<html>Błąd serwera</html>") << ReadError << false
                << false;

        HttpTestServer::Response noLength(200, installerBytes(250));
        noLength.sendLength = false;
        QTest::newRow("no content length") << noLength << ReadError << false << false;

        HttpTestServer::Response stalledBody(200, installerBytes(250));
        stalledBody.delivery = HttpTestServer::Delivery::HeaderOnly;
        QTest::newRow("silence after the header") << stalledBody << ReadError << false << false;

        HttpTestServer::Response silent(200, installerBytes(250));
        silent.delivery = HttpTestServer::Delivery::Silent;
        // A server that never gets as far as a status line is no server.
        QTest::newRow("no answer at all") << silent << ConnectionError << false << false;
        HttpTestServer::Response closed(200, installerBytes(250));
        closed.delivery = HttpTestServer::Delivery::Closed;
        QTest::newRow("closed without an answer") << closed << ConnectionError << false << false;
    }
    void download()
    {
        QFETCH(HttpTestServer::Response, response);
        QFETCH(QString, status);
        QFETCH(bool, succeeded);
        QFETCH(bool, fileKept);
        UpdateWindowFixture f;
        update::setIdleTimeout(std::chrono::milliseconds(300));
        f.http.serve(InstallerPath, response);

        bool outcome = false;
        QVERIFY(f.download(&outcome));
        TFUpdate &w = f.window();
        QCOMPARE(outcome, succeeded);
        QCOMPARE(w.DownloadSucceeded.load(), succeeded);
        QCOMPARE(w.StatusLabel->text(), status);
        QCOMPARE(w.CloseButton->text(),
                 succeeded ? QStringLiteral("Uruchom") : QStringLiteral("Zamknij"));
        QCOMPARE(w.CloseButton->accessibleName(), w.CloseButton->text());
        QVERIFY(w.CloseButton->isEnabled());
        // Qt's HTTP client may try again on the same download when the server
        // breaks the protocol; every try names the agent.
        QVERIFY(!f.http.requests.isEmpty());
        for (const auto &request : f.http.requests)
            QCOMPARE(request.userAgent, QByteArray("UPDATE CHECK"));

        // An empty range would be drawn as a busy bar for ever.
        QCOMPARE(w.ProgressBar->minimum(), 0);
        QVERIFY(w.ProgressBar->maximum() > 0);
        QFile file(f.installerFile());
        QCOMPARE(file.exists(), fileKept);
        if (fileKept) {
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), response.body);
            QCOMPARE(file.permissions() & AnyoneAtAll, OwnerOnly);
            QCOMPARE(w.installerPath(), f.installerFile());
            // The gauge moves 100 a read: at its maximum only after reads of at
            // most 100 bytes.
            if (!response.body.isEmpty())
                QCOMPARE(w.ProgressBar->maximum(), int(response.body.size()));
            QCOMPARE(w.ProgressBar->value(), w.ProgressBar->maximum());
        }
    }

    // Neither a hostile server nor a failure inside the download holds the
    // window for ever or leaves a file behind; the console goes on.
    void limitsAndFailures_data()
    {
        QTest::addColumn<HttpTestServer::Response>("response");
        QTest::addColumn<qint64>("maxSize");
        QTest::addColumn<int>("deadlineMs");
        QTest::addColumn<int>("throwAt"); // a TransferStage, or -1
        QTest::addColumn<bool>("outOfMemory");
        QTest::addColumn<bool>("succeeded");
        const qint64 cap = TFUpdate::MaxInstallerSize;
        const int hour = 3600 * 1000;

        HttpTestServer::Response trickle(200, installerBytes(250));
        trickle.delivery = HttpTestServer::Delivery::Trickle;
        QTest::newRow("trickling past the deadline")
                << trickle << cap << 300 << -1 << false << false;

        // The header alone, then silence: only the refusal can end these.
        HttpTestServer::Response oversized(200, installerBytes(1001));
        oversized.delivery = HttpTestServer::Delivery::HeaderOnly;
        QTest::newRow("announced above the cap")
                << oversized << qint64(1000) << hour << -1 << false << false;
        oversized.lengthText = "99999999999999999999999";
        QTest::newRow("announced beyond any number")
                << oversized << cap << hour << -1 << false << false;
        QTest::newRow("exactly at the cap") << HttpTestServer::Response(200, installerBytes(1000))
                                            << qint64(1000) << hour << -1 << false << true;

        // Chunks are not held to the announced length; the download is.
        HttpTestServer::Response growing(200, installerBytes(5000));
        growing.delivery = HttpTestServer::Delivery::Chunked;
        growing.lengthText = "250";
        QTest::newRow("chunked body beyond its length")
                << growing << cap << hour << -1 << false << false;

        const HttpTestServer::Response installer(200, installerBytes(250));
        using Stage = update::TransferStage;
        QTest::newRow("out of memory at the start")
                << installer << cap << hour << int(Stage::Start) << true << false;
        QTest::newRow("out of memory at the header")
                << installer << cap << hour << int(Stage::Header) << true << false;
        QTest::newRow("out of memory in the body")
                << installer << cap << hour << int(Stage::Body) << true << false;
        QTest::newRow("an error in the body")
                << installer << cap << hour << int(Stage::Body) << false << false;
    }
    void limitsAndFailures()
    {
        QFETCH(HttpTestServer::Response, response);
        QFETCH(qint64, maxSize);
        QFETCH(int, deadlineMs);
        QFETCH(int, throwAt);
        QFETCH(bool, outOfMemory);
        QFETCH(bool, succeeded);
        UpdateWindowFixture f;
        update::setIdleTimeout(std::chrono::hours(1));
        TFUpdate::setDownloadLimits(maxSize, std::chrono::milliseconds(deadlineMs));
        update::setTransferHook([throwAt, outOfMemory](update::TransferStage stage) {
            if (int(stage) != throwAt)
                return;
            if (outOfMemory)
                throw std::bad_alloc();
            throw std::runtime_error("a failure inside the download");
        });
        f.http.serve(InstallerPath, response);

        bool outcome = !succeeded;
        QVERIFY(f.download(&outcome));
        QCOMPARE(outcome, succeeded);
        TFUpdate &w = f.window();
        QCOMPARE(w.StatusLabel->text(), succeeded ? Downloading : ReadError);
        QVERIFY(w.CloseButton->isEnabled());
        QCOMPARE(QFile::exists(f.installerFile()), succeeded);
        if (succeeded)
            QCOMPARE(f.data.readFile(QStringLiteral("admin_update.exe")), response.body);
    }

    void noServer_data()
    {
        QTest::addColumn<bool>("hanging");
        QTest::newRow("nobody listening") << false;
        QTest::newRow("a connect that hangs") << true;
    }
    void noServer()
    {
        QFETCH(bool, hanging);
        UpdateWindowFixture f;
        update::setIdleTimeout(std::chrono::milliseconds(300));
        HttpTestServer::HangingPort hangingPort;
        QVERIFY(hangingPort.port() != 0);
        const quint16 port = hanging ? hangingPort.port() : HttpTestServer::closedPort();
        qputenv("DOCENTOR_UPDATE_HOST", "http://127.0.0.1:" + QByteArray::number(port));
        bool outcome = true;
        QVERIFY(f.download(&outcome));
        QVERIFY(!outcome);
        QCOMPARE(f.window().StatusLabel->text(), ConnectionError);
        QCOMPARE(f.window().CloseButton->text(), QStringLiteral("Zamknij"));
        QVERIFY(!QFile::exists(f.installerFile()));
    }

    // Whatever an earlier download left is gone before the new one is
    // written, and does not survive a failed one.
    void earlierFile_data()
    {
        QTest::addColumn<HttpTestServer::Response>("response");
        QTest::addColumn<bool>("succeeded");
        QTest::newRow("replaced") << HttpTestServer::Response(200, installerBytes(250)) << true;
        QTest::newRow("shorter replacement") << HttpTestServer::Response(200, "MZ") << true;
        QTest::newRow("removed by an error page")
                << HttpTestServer::Response(404, "<html>brak</html>") << false;
    }
    void earlierFile()
    {
        QFETCH(HttpTestServer::Response, response);
        QFETCH(bool, succeeded);
        UpdateWindowFixture f;
        f.data.writeFile(QStringLiteral("admin_update.exe"), installerBytes(4000));
        f.http.serve(InstallerPath, response);
        bool outcome = !succeeded;
        QVERIFY(f.download(&outcome));
        QCOMPARE(outcome, succeeded);
        QCOMPARE(QFile::exists(f.installerFile()), succeeded);
        if (succeeded)
            QCOMPARE(f.data.readFile(QStringLiteral("admin_update.exe")), response.body);
    }

    void fileCannotBeCreated_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::newRow("a folder in the way") << QStringLiteral("folder");
        QTest::newRow("a link planted there") << QStringLiteral("link");
        QTest::newRow("no data folder") << QStringLiteral("no folder");
    }
    void fileCannotBeCreated()
    {
        QFETCH(QString, obstacle);
        UpdateWindowFixture f;
        f.http.serve(InstallerPath, HttpTestServer::Response(200, installerBytes(250)));
        const QString target = f.data.root() + QStringLiteral("/elsewhere");
        if (obstacle == QLatin1String("folder")) {
            // Not empty, so it cannot just be removed.
            f.data.writeFile(QStringLiteral("admin_update.exe/inside"), "x");
        } else if (obstacle == QLatin1String("no folder")) {
            // A file where the data folder belongs: it can be neither had nor made.
            QDir(f.data.dataFolder()).removeRecursively();
            QVERIFY(QFile(f.data.dataFolder()).open(QIODevice::WriteOnly));
        } else {
            QDir().mkpath(f.data.dataFolder());
            QVERIFY(QFile::link(target, f.installerFile()));
        }
        bool outcome = true;
        QVERIFY(f.download(&outcome));
        if (obstacle == QLatin1String("folder")) {
            QVERIFY(!outcome);
            QCOMPARE(f.window().StatusLabel->text(), WriteError);
            QCOMPARE(f.window().CloseButton->text(), QStringLiteral("Zamknij"));
            QVERIFY(QFileInfo(f.installerFile()).isDir());
        } else if (obstacle == QLatin1String("no folder")) {
            QVERIFY(!outcome);
            QCOMPARE(f.window().StatusLabel->text(), WriteError);
            // The worker's one failed lookup is reported once: in the main
            // window's status field and, once there is a folder again, in
            // exactly one entry of the day log.
            const QByteArray message = "Błąd tworzenia katalagu.\nKod błędu: ";
            QVERIFY(f.main().StatusEdit->text().startsWith(QString::fromUtf8(message)));
            QVERIFY(QFile::remove(f.data.dataFolder()));
            WriteLog("SEND: OK");
            QCOMPARE(f.data.readLog().count("katalagu."), 1);
        } else {
            // The link goes like any earlier file; nothing is written through it.
            QVERIFY(outcome);
            QVERIFY(!QFileInfo(f.installerFile()).isSymLink());
            QVERIFY(!QFile::exists(target));
        }
    }

    void runStartsTheInstallerAndClosesTheConsole()
    {
        UpdateWindowFixture f;
        f.data.writeFile(QStringLiteral("settings.set"), "<FIRST RUN>FALSE\r\n<INNE>x\r\n");
        f.http.serve(InstallerPath, HttpTestServer::Response(200, installerBytes(250)));
        QSignalSpy closed(&f.main(), &TFMain::closed);
        QVERIFY(f.download());
        QVERIFY(f.started.isEmpty());

        f.window().CloseButton->click();
        QCOMPARE(f.started, QStringList{f.installerFile()});
        QCOMPARE(f.data.readFile(QStringLiteral("settings.set")),
                 QByteArray("<FIRST RUN>TRUE\r\n<INNE>x\r\n"));
        QVERIFY(f.main().closeWithoutAsking);
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
        QVERIFY(f.download());

        f.window().CloseButton->click();
        QVERIFY(f.started.isEmpty());
        QVERIFY(!f.window().isVisible());
        QVERIFY(!f.main().closeWithoutAsking);
        QCOMPARE(closed.size(), 0);
        QVERIFY(!f.data.readFile(QStringLiteral("settings.set")).contains("TRUE"));
    }

    // Until the download has ended the window has no way out; a second
    // opening runs a download of its own.
    void noWayOutWhileDownloading()
    {
        UpdateWindowFixture f;
        update::setIdleTimeout(std::chrono::seconds(2));
        HttpTestServer::Response stalled(200, installerBytes(250));
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

        f.http.serve(InstallerPath, HttpTestServer::Response(200, installerBytes(250)));
        f.window().show();
        QCOMPARE(f.window().StatusLabel->text(), QStringLiteral("Status"));
        QVERIFY(!f.window().CloseButton->isEnabled());
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.last().first().toBool(), true);
        QCOMPARE(f.window().CloseButton->text(), QStringLiteral("Uruchom"));
    }

    // The console's end does not wait for a server that never answers.
    void closingDuringAStalledDownload()
    {
        auto f = std::make_unique<UpdateWindowFixture>();
        // Far beyond the test's own time limit: only the window's stop can
        // end this download.
        update::setIdleTimeout(std::chrono::hours(1));
        HttpTestServer::Response stalled(200, installerBytes(250));
        stalled.delivery = HttpTestServer::Delivery::HeaderOnly;
        f->http.serve(InstallerPath, stalled);
        QSignalSpy served(&f->http, &HttpTestServer::requestServed);
        f->window().show();
        QVERIFY(served.wait(10000));
        QTRY_VERIFY(QFile::exists(f->installerFile()));
        destroyWindows(f->windows);
        // The part that came is not left behind as an installer.
        QVERIFY(!QFile::exists(f->installerFile()));
    }
};

QTEST_MAIN(UpdateDownloadTest)
#include "test_update_download.moc"
