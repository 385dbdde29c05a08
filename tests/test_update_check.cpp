// The version check seen from the main window, against a real HTTP server on
// this machine: the timer, the question, the boxes and the way into the
// update window, from start-up and from the menu.
#include "support/fakedialogs.h"
#include "support/httpserver.h"
#include "support/tempdata.h"
#include "update/httpget.h"
#include "update/tfupdate.h"
#include "update/version.h"
#include "update/versioncheck.h"

#include "startup.h"
#include "shell/tfmain.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <thread>
#include <utility>

using update::Version;

namespace {

const QByteArray VersionPath = "/mervix/tablor/program/admin_wersja.bin";
const QByteArray InstallerPath = "/mervix/tablor/program/tabloradminsetup.exe";

// Scripted dialogs that also notice a box shown off the user-interface thread.
class UiThreadDialogs : public FakeDialogs
{
public:
    std::atomic<bool> offUiThread{false};
    // Runs inside the next question, as the teacher is still reading it.
    std::function<void()> whileAsked;
    void message(QWidget *parent, const QString &caption, const QString &text, Icon icon) override
    {
        note();
        FakeDialogs::message(parent, caption, text, icon);
    }
    bool question(QWidget *parent, const QString &caption, const QString &text) override
    {
        note();
        const bool answer = FakeDialogs::question(parent, caption, text);
        if (whileAsked)
            std::exchange(whileAsked, nullptr)();
        return answer;
    }

private:
    void note()
    {
        if (QThread::currentThread() != qApp->thread())
            offUiThread = true;
    }
};

// The console's windows with a private data folder, scripted dialogs and
// the vendor's server played by a local HTTP server.
struct UpdateConsole
{
    TempDataHome data;
    UiThreadDialogs dialogs;
    HttpTestServer http;
    AppWindows windows;

    UpdateConsole()
    {
        Classroom::listenPortOverride = 0;
        if (!http.listen())
            qFatal("the test HTTP server cannot listen");
        qputenv("DOCENTOR_UPDATE_HOST", http.address());
        windows = createWindows();
    }
    ~UpdateConsole()
    {
        destroyWindows(windows);
        Classroom::listenPortOverride = -1;
    }
    TFMain &main() { return *windows.main; }

    // Starts a check as start-up (silent) or the menu item does, and waits
    // until it has shown all it will show, except the timer's question.
    bool check(bool silent)
    {
        QSignalSpy ended(&main().versionCheck(), &update::VersionCheck::checkEnded);
        if (silent)
            startConsole(main());
        else
            main().Sprawdczyjestnowawersja1->trigger();
        return ended.wait(20000);
    }
};

// An answer as a server sends it, byte for byte.
HttpTestServer::Response rawAnswer(const QByteArray &header, const QByteArray &body)
{
    HttpTestServer::Response response(200, "HTTP/1.1 200 OK\r\n" + header + "\r\n" + body);
    response.delivery = HttpTestServer::Delivery::Raw;
    return response;
}

QString versionBody(const Version &server)
{
    return QStringLiteral("Aktualna wersja programu to: 1.0.6\nWersja dostępna na serwerze to: ")
           + server.text() + QStringLiteral("\n\n");
}

} // namespace

class UpdateCheckTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        update::setServerVersion({1, 0, 0});
        update::setIdleTimeout(std::chrono::seconds(30));
    }
    void cleanup()
    {
        update::setIdleTimeout(std::chrono::seconds(30));
        update::setTransferHook({});
    }

    void newerVersionIsOffered_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("at start-up") << true << versionFile(1, 1, 0);
        QTest::newRow("from the menu") << false << versionFile(1, 1, 0);
        // Major and minor only: the release stays 0, as it was before.
        QTest::newRow("8 bytes from the menu") << false << versionFile(1, 1, 7).left(8);
    }
    void newerVersionIsOffered()
    {
        QFETCH(bool, silent);
        QFETCH(QByteArray, file);
        UpdateConsole console;
        console.http.serve(VersionPath, {200, file});
        console.dialogs.questionAnswers = {false};

        QVERIFY(console.check(silent));
        // The question comes from the timer, a second after the check.
        QCOMPARE(console.main().UpdateTimer->interval(), 1000);
        QTRY_COMPARE(console.dialogs.shown.size(), 1);

        const FakeDialogs::Shown question = console.dialogs.shown.first();
        QCOMPARE(question.kind, FakeDialogs::Kind::Question);
        QCOMPARE(question.caption, QStringLiteral("Nowa wersja"));
        QCOMPARE(question.text,
                 versionBody({1, 1, 0})
                         + QStringLiteral("Czy chcesz pobrać nową wersje programu ?"));
        QVERIFY(!console.main().UpdateTimer->isActive());
        QVERIFY(!console.dialogs.offUiThread);
    }

    // What a check that finds nothing new shows: nothing at start-up; from
    // the menu, one box with both versions or one warning, none for a 404.
    void boxes_data()
    {
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<int>("status");
        QTest::newRow("not newer at start-up") << true << true << 200;
        QTest::newRow("not newer from the menu") << true << false << 200;
        QTest::newRow("no server at start-up") << false << true << 200;
        QTest::newRow("no server from the menu") << false << false << 200;
        QTest::newRow("403 at start-up") << true << true << 403;
        QTest::newRow("403 from the menu") << true << false << 403;
        QTest::newRow("404 from the menu") << true << false << 404;
    }
    void boxes()
    {
        QFETCH(bool, reachable);
        QFETCH(bool, silent);
        QFETCH(int, status);
        UpdateConsole console;
        console.http.serve(VersionPath, {status, versionFile(1, 0, 5)});
        if (!reachable) {
            qputenv("DOCENTOR_UPDATE_HOST",
                    "http://127.0.0.1:" + QByteArray::number(HttpTestServer::closedPort()));
        }

        QVERIFY(console.check(silent));
        QVERIFY(!console.main().UpdateTimer->isActive());
        QVERIFY(!console.dialogs.offUiThread);
        if (silent || status == 404) {
            QVERIFY(console.dialogs.shown.isEmpty());
            return;
        }
        QCOMPARE(console.dialogs.shown.size(), 1);
        const FakeDialogs::Shown box = console.dialogs.shown.first();
        QCOMPARE(box.kind, FakeDialogs::Kind::Message);
        if (reachable && status == 200) {
            QCOMPARE(box.caption, QString());
            QCOMPARE(box.icon, Dialogs::Icon::None);
            QCOMPARE(box.text,
                     versionBody({1, 0, 5}) + QStringLiteral("Brak nowej wersji do pobrania."));
        } else {
            QCOMPARE(box.caption, QStringLiteral("Aktualizacja"));
            QCOMPARE(box.text, QStringLiteral("Błąd podczas próby połączenia z internetem"));
            QCOMPARE(box.icon, Dialogs::Icon::Warning);
        }
    }

    // A second check that finds the same new version while the teacher is
    // being asked, or while the update window is open, asks nothing more.
    void oneQuestionPerNewVersion_data()
    {
        QTest::addColumn<bool>("windowOpen");
        QTest::newRow("a menu check while the question is open") << false;
        QTest::newRow("a menu check while the update window is open") << true;
    }
    void oneQuestionPerNewVersion()
    {
        QFETCH(bool, windowOpen);
        UpdateConsole console;
        console.http.serve(VersionPath, {200, versionFile(1, 0, 7)});
        console.http.serve(InstallerPath, {404, "<html>brak</html>"});
        // Yes opens the window; a second question would be answered No.
        console.dialogs.questionAnswers = {windowOpen, false};
        TFUpdate *window = console.windows.update;
        bool secondCheckDone = false;
        // Waits until the second check's timer has come and gone.
        auto secondCheck = [&] {
            QVERIFY(console.check(false));
            QTRY_VERIFY(!console.main().UpdateTimer->isActive());
            secondCheckDone = true;
        };
        if (windowOpen) {
            connect(window, &TFUpdate::downloadFinished, window, [&] {
                secondCheck();
                QMetaObject::invokeMethod(window->CloseButton, &QPushButton::click,
                                          Qt::QueuedConnection);
            });
        } else {
            console.dialogs.whileAsked = secondCheck;
        }

        QVERIFY(console.check(true));
        QTRY_VERIFY(secondCheckDone);
        QTRY_VERIFY(!window->isVisible());
        QCOMPARE(console.dialogs.shown.size(), 1);
        QCOMPARE(console.dialogs.shown.first().kind, FakeDialogs::Kind::Question);
        QVERIFY(!console.main().UpdateTimer->isActive());
    }

    void answeringNoAsksAgainOnTheNextCheck()
    {
        UpdateConsole console;
        console.http.serve(VersionPath, {200, versionFile(1, 0, 7)});
        console.dialogs.questionAnswers = {false, false};

        QVERIFY(console.check(false));
        QTRY_COMPARE(console.dialogs.shown.size(), 1);
        QVERIFY(!console.main().UpdateTimer->isActive());

        console.http.serve(VersionPath, {200, versionFile(1, 2, 0)});
        QVERIFY(console.check(false));
        QTRY_COMPARE(console.dialogs.shown.size(), 2);
        QCOMPARE(console.dialogs.shown.last().kind, FakeDialogs::Kind::Question);
        QVERIFY(console.dialogs.shown.last().text.contains(
                QStringLiteral("Wersja dostępna na serwerze to: 1.2.0\n")));
        QVERIFY(!console.main().UpdateTimer->isActive());
    }

    // The settings file names another server when the environment does not.
    void serverFromTheSettingsFile()
    {
        UpdateConsole console;
        HttpTestServer other;
        QVERIFY(other.listen());
        other.serve(VersionPath, {200, versionFile(1, 0, 6)});
        qunsetenv("DOCENTOR_UPDATE_HOST");
        console.data.writeFile(QStringLiteral("settings.set"),
                               "<FIRST RUN>FALSE\r\n<UPDATE HOST>" + other.address() + "\r\n");

        QVERIFY(console.check(false));
        QCOMPARE(other.requests.size(), 1);
        QCOMPARE(console.http.requests.size(), 0);
        QCOMPARE(console.dialogs.shown.size(), 1);
        QVERIFY(console.dialogs.shown.first().text.endsWith(
                QStringLiteral("Brak nowej wersji do pobrania.")));
    }

    // Yes opens the update window with both versions; once the installer is
    // in and started, the console closes without its question.
    void yesDownloadsAndClosesTheConsole()
    {
        UpdateConsole console;
        console.http.serve(VersionPath, {200, versionFile(1, 1, 0)});
        console.http.serve(InstallerPath, {200, QByteArray(250, 'i')});
        QStringList started;
        TFUpdate *window = console.windows.update;
        window->startInstaller = [&started](const QString &program) {
            started << program;
        };
        QString shownVersions;
        connect(window, &TFUpdate::downloadFinished, window, [&] {
            shownVersions = window->VersionLabel->text() + QLatin1Char('/')
                            + window->NewVersionLabel->text();
            QVERIFY(window->isModal());
            QMetaObject::invokeMethod(window->CloseButton, &QPushButton::click,
                                      Qt::QueuedConnection);
        });
        QSignalSpy closed(&console.main(), &TFMain::closed);

        QVERIFY(console.check(false));
        // The question is answered Yes; the update window runs modally until
        // its button is clicked.
        QTRY_COMPARE(closed.size(), 1);
        QTRY_VERIFY(!window->isVisible());
        QCOMPARE(shownVersions, QStringLiteral("1.0.6/1.1.0"));
        QCOMPARE(console.dialogs.shown.size(), 1); // the question only, not "Zamykanie"
        QCOMPARE(started, QStringList{console.data.dataFolder() + "/admin_update.exe"});
        QVERIFY(console.main().closeWithoutAsking);
        QVERIFY(console.data.readFile(QStringLiteral("settings.set")).contains("<FIRST RUN>TRUE"));
    }

    // A failed download goes back to the console, which asks again on close.
    void failedDownloadGoesBackToTheConsole()
    {
        UpdateConsole console;
        console.http.serve(VersionPath, {200, versionFile(2, 0, 0)});
        console.http.serve(InstallerPath, {404, "<html>brak</html>"});
        console.main().closeWithoutAsking = true;
        TFUpdate *window = console.windows.update;
        bool started = false;
        window->startInstaller = [&started](const QString &) {
            started = true;
        };
        connect(window, &TFUpdate::downloadFinished, window, [window] {
            QMetaObject::invokeMethod(window->CloseButton, &QPushButton::click,
                                      Qt::QueuedConnection);
        });
        QSignalSpy closed(&console.main(), &TFMain::closed);
        QSignalSpy finished(window, &TFUpdate::downloadFinished);

        QVERIFY(console.check(true));
        QTRY_COMPARE(finished.size(), 1);
        QTRY_VERIFY(!window->isVisible());
        QCOMPARE(finished.first().first().toBool(), false);
        QVERIFY(!started);
        QVERIFY(!console.main().closeWithoutAsking);
        QCOMPARE(closed.size(), 0);

        console.dialogs.questionAnswers = {false};
        QVERIFY(!console.main().close());
        QCOMPARE(console.dialogs.shown.last().caption, QStringLiteral("Zamykanie"));
        QCOMPARE(closed.size(), 0);
    }

    // How the check reads the server's answer as HTTP/1.1 frames it, and
    // what it makes of a server that frames it in bad faith: chunks, interim
    // answers, lengths, redirects and the time all of it may take.
    void answer_data()
    {
        using Kind = update::VersionAnswer::Kind;
        using Response = HttpTestServer::Response;
        QTest::addColumn<Response>("response");
        QTest::addColumn<int>("idleMs");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("requests"); // GETs the server sees; -1: any
        const QByteArray file = versionFile(1, 1, 0);
        const QByteArray chunked = "Transfer-Encoding: chunked\r\n";
        auto row = [](const char *name, const Response &response, Kind kind, int requests = 1,
                      int idleMs = 3000) {
            QTest::newRow(name) << response << idleMs << int(kind) << requests;
        };

        row("whole", {200, file}, Kind::Found);
        row("chunked",
            rawAnswer(chunked,
                      "4\r\n" + file.left(4) + "\r\n8\r\n" + file.mid(4) + "\r\n0\r\n\r\n"),
            Kind::Found);
        row("chunk extensions",
            rawAnswer(chunked, "4;kawalek=1\r\n" + file.left(4) + "\r\n8 ; a=\"b;c\"; d\r\n"
                                       + file.mid(4) + "\r\n0;ostatni\r\n\r\n"),
            Kind::Found);
        row("chunks and a trailer",
            rawAnswer(chunked, "00C\r\n" + file + "\r\n0\r\nX-Suma: 12\r\nX-Inne: tak\r\n\r\n"),
            Kind::Found);
        row("chunk size not hex", rawAnswer(chunked, "C+\r\n" + file + "\r\n0\r\n\r\n"),
            Kind::Unreadable);
        row("chunk size with a sign", rawAnswer(chunked, "+C\r\n" + file + "\r\n0\r\n\r\n"),
            Kind::Unreadable);
        row("chunk size beyond any number",
            rawAnswer(chunked, "10000000000000000C\r\n" + file + "\r\n0\r\n\r\n"),
            Kind::Unreadable);
        row("chunk longer than its size", rawAnswer(chunked, "8\r\n" + file + "\r\n0\r\n\r\n"),
            Kind::Unreadable);

        Response response(200, file);
        response.interimAnswers = 3;
        row("interim answers first", response, Kind::Found);
        // Would hold the check for its whole idle time, at full speed.
        response.delivery = HttpTestServer::Delivery::Interim;
        row("interim answers without end", response, Kind::Unreadable, 1, 3600 * 1000);

        response = {200, file};
        response.lengthText = "12, 12";
        row("one length said twice", response, Kind::Found);
        response.lengthText = "8\r\nContent-Length: 12";
        row("lengths that differ", response, Kind::Unreadable);
        response.lengthText = "-1";
        row("negative length", response, Kind::Unreadable);
        response.lengthText = "12 bajtow";
        row("length with a tail", response, Kind::Unreadable);
        // Chunks that would be read whole, beside a length that fits them.
        response.body = "C\r\n" + file + "\r\n0\r\n\r\n";
        response.lengthText
                = QByteArray::number(response.body.size()) + "\r\n" + chunked.chopped(2);
        row("length and chunks", response, Kind::Unreadable);

        response = {200, file};
        response.redirects = 1;
        row("redirected", response, Kind::Found, 2);
        response.relativeRedirects = true;
        row("redirected to a path on the same server", response, Kind::Found, 2);
        response.redirects = 10;
        row("redirected ten times", response, Kind::Found, 11);
        response.redirects = 11;
        row("redirected eleven times", response, Kind::Unreadable, 11);
        // The time a server may stay silent holds for the whole check, not
        // for each server it is sent on to, nor for each byte.
        response.redirects = 4;
        response.delayMs = 150;
        row("redirects slower than the idle time in all", response, Kind::NoConnection, -1, 400);
        response = {200, file};
        response.delivery = HttpTestServer::Delivery::Trickle;
        response.trickleMs = 100;
        row("trickling past the idle time in all", response, Kind::NoConnection, 1, 400);
    }
    void answer()
    {
        QFETCH(HttpTestServer::Response, response);
        QFETCH(int, idleMs);
        QFETCH(int, kind);
        QFETCH(int, requests);
        HttpTestServer http;
        QVERIFY(http.listen());
        http.serve(VersionPath, response);
        update::setIdleTimeout(std::chrono::milliseconds(idleMs));
        std::atomic<bool> stop{false};
        update::VersionAnswer answer;
        std::atomic<bool> answered{false};
        // Blocks, as on the check's worker; the server answers from here.
        std::thread worker([&] {
            answer = update::fetchServerVersion(QUrl(http.address() + VersionPath), stop);
            answered = true;
        });
        const bool ended = QTest::qWaitFor([&] { return answered.load(); }, 20000);
        stop = true;
        worker.join();
        QVERIFY(ended);
        QCOMPARE(int(answer.kind), kind);
        if (kind == update::VersionAnswer::Found)
            QCOMPARE(answer.file, versionFile(1, 1, 0));
        if (requests >= 0)
            QCOMPARE(http.requests.size(), requests);
    }

    // Closing the console does not wait for a server that never answers.
    void closingDuringAStalledCheck()
    {
        auto console = std::make_unique<UpdateConsole>();
        // Far beyond the test's own time limit: only the console's stop can
        // end this check.
        update::setIdleTimeout(std::chrono::hours(1));
        HttpTestServer::Response silent;
        silent.delivery = HttpTestServer::Delivery::Silent;
        console->http.serve(VersionPath, silent);
        QSignalSpy served(&console->http, &HttpTestServer::requestServed);
        int ended = 0;
        connect(&console->main().versionCheck(), &update::VersionCheck::checkEnded, this,
                [&ended] { ++ended; });
        console->main().Sprawdczyjestnowawersja1->trigger();
        QVERIFY(served.wait(10000));
        console.reset();
        QCOMPARE(ended, 0);
    }
};

QTEST_MAIN(UpdateCheckTest)
#include "test_update_check.moc"
