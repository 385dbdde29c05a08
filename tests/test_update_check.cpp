// The version check against a real HTTP server on this machine: silently at
// start-up and from the menu, with every kind of answer a server may give.
#include "support/fakedialogs.h"
#include "support/httpserver.h"
#include "support/tempdata.h"
#include "update/httpget.h"
#include "update/tfupdate.h"
#include "update/version.h"
#include "update/versioncheck.h"

#include "shell/startup.h"
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

#include <new>
#include <stdexcept>
#include <utility>

using update::Version;
Q_DECLARE_METATYPE(Version)

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
        TFMain::listenPortOverride = 0;
        if (!http.listen())
            qFatal("the test HTTP server cannot listen");
        qputenv("DOCENTOR_UPDATE_HOST", http.address());
        windows = createWindows();
    }
    ~UpdateConsole()
    {
        destroyWindows(windows);
        TFMain::listenPortOverride = -1;
    }
    TFMain &main() { return *windows.main; }

    // Starts a check as start-up (silent) or the menu item does, and waits
    // until it has shown all it will show, except the timer's question.
    bool check(bool silent)
    {
        const int before = update::completedChecks();
        if (silent)
            startConsole(main());
        else
            main().Sprawdczyjestnowawersja1->trigger();
        return QTest::qWaitFor([&] { return update::completedChecks() > before; }, 20000);
    }
};

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
        QTest::addColumn<Version>("server");
        QTest::addColumn<bool>("silent");
        for (const Version &v : {Version{1, 0, 7}, Version{1, 1, 0}, Version{2, 0, 0}}) {
            QTest::addRow("%s at start-up", qPrintable(v.text())) << v << true;
            QTest::addRow("%s from the menu", qPrintable(v.text())) << v << false;
        }
    }
    void newerVersionIsOffered()
    {
        QFETCH(Version, server);
        QFETCH(bool, silent);
        UpdateConsole console;
        console.http.serve(VersionPath,
                           {200, versionFile(server.major, server.minor, server.release)});
        console.dialogs.questionAnswers = {false};

        QVERIFY(console.check(silent));
        QCOMPARE(update::serverVersion(), server);
        // The question comes from the timer, a second after the check.
        QCOMPARE(console.main().UpdateTimer->interval(), 1000);
        QTRY_COMPARE(console.dialogs.shown.size(), 1);

        const FakeDialogs::Shown question = console.dialogs.shown.first();
        QCOMPARE(question.kind, FakeDialogs::Kind::Question);
        QCOMPARE(question.caption, QStringLiteral("Nowa wersja"));
        QCOMPARE(question.text,
                 versionBody(server) + QStringLiteral("Czy chcesz pobrać nową wersje programu ?"));
        QVERIFY(!console.main().UpdateTimer->isActive());
        QVERIFY(!console.dialogs.offUiThread);

        QCOMPARE(console.http.requests.size(), 1);
        QCOMPARE(console.http.requests.first().method, QByteArray("GET"));
        QCOMPARE(console.http.requests.first().userAgent, QByteArray("UPDATE CHECK"));
    }

    void notNewerVersion_data()
    {
        QTest::addColumn<Version>("server");
        QTest::addColumn<bool>("silent");
        for (const Version &v : {Version{1, 0, 6}, Version{0, 9, 9}, Version{1, 0, 5}}) {
            QTest::addRow("%s at start-up", qPrintable(v.text())) << v << true;
            QTest::addRow("%s from the menu", qPrintable(v.text())) << v << false;
        }
    }
    void notNewerVersion()
    {
        QFETCH(Version, server);
        QFETCH(bool, silent);
        UpdateConsole console;
        // A longer file is read for its first 12 bytes.
        console.http.serve(VersionPath,
                           {200, versionFile(server.major, server.minor, server.release)
                                         + QByteArray(500, 'x')});

        QVERIFY(console.check(silent));
        QCOMPARE(update::serverVersion(), server);
        QVERIFY(!console.main().UpdateTimer->isActive());
        if (silent) {
            QVERIFY(console.dialogs.shown.isEmpty());
        } else {
            QCOMPARE(console.dialogs.shown.size(), 1);
            const FakeDialogs::Shown report = console.dialogs.shown.first();
            QCOMPARE(report.kind, FakeDialogs::Kind::Message);
            QCOMPARE(report.caption, QString());
            QCOMPARE(report.icon, Dialogs::Icon::None);
            QCOMPARE(report.text,
                     versionBody(server) + QStringLiteral("Brak nowej wersji do pobrania."));
        }
        QVERIFY(!console.dialogs.offUiThread);
    }

    // Only a 200 answer with all 12 bytes is a version; anything else leaves
    // the last version read in place and shows nothing in either mode.
    void answerWithoutVersion_data()
    {
        QTest::addColumn<HttpTestServer::Response>("response");
        QTest::addColumn<bool>("silent");
        HttpTestServer::Response notFound{404, "<html>Nie znaleziono</html>"};
        HttpTestServer::Response serverError{500, versionFile(2, 0, 0)};
        HttpTestServer::Response forbidden{403, versionFile(2, 0, 0)};
        // Under the old rule these 8 bytes made 1.1.x count as newer.
        HttpTestServer::Response shortBody{200, versionFile(1, 1, 0).left(8)};
        HttpTestServer::Response emptyBody{200, QByteArray()};
        HttpTestServer::Response brokenOff{200, versionFile(3, 0, 0)};
        brokenOff.delivery = HttpTestServer::Delivery::BrokenOff;
        brokenOff.brokenAfter = 8;
        for (bool silent : {true, false}) {
            const char *mode = silent ? "at start-up" : "from the menu";
            QTest::addRow("404 %s", mode) << notFound << silent;
            QTest::addRow("500 %s", mode) << serverError << silent;
            QTest::addRow("403 with 12 bytes %s", mode) << forbidden << silent;
            QTest::addRow("8-byte body %s", mode) << shortBody << silent;
            QTest::addRow("empty body %s", mode) << emptyBody << silent;
            QTest::addRow("body broken off %s", mode) << brokenOff << silent;
        }
    }
    void answerWithoutVersion()
    {
        QFETCH(HttpTestServer::Response, response);
        QFETCH(bool, silent);
        UpdateConsole console;
        update::setServerVersion({1, 0, 3});
        console.http.serve(VersionPath, response);

        QVERIFY(console.check(silent));
        // Qt's HTTP client may ask again when an answer breaks off.
        QVERIFY(!console.http.requests.isEmpty());
        QVERIFY(console.dialogs.shown.isEmpty());
        QVERIFY(!console.main().UpdateTimer->isActive());
        QCOMPARE(update::serverVersion(), (Version{1, 0, 3}));
    }

    // No server, or one that stops answering, or a check that fails inside
    // (even for want of memory): the menu check warns once, the silent one
    // says nothing, and the console goes on.
    void serverUnreachable_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("silent");
        for (bool silent : {true, false}) {
            const char *mode = silent ? "at start-up" : "from the menu";
            QTest::addRow("nobody listening %s", mode) << QStringLiteral("closed") << silent;
            QTest::addRow("a connect that hangs %s", mode) << QStringLiteral("hanging") << silent;
            QTest::addRow("no answer at all %s", mode) << QStringLiteral("silent") << silent;
            QTest::addRow("header, then silence %s", mode) << QStringLiteral("stall") << silent;
            QTest::addRow("out of memory at the start %s", mode)
                    << QStringLiteral("throw start") << silent;
            QTest::addRow("out of memory at the header %s", mode)
                    << QStringLiteral("throw header") << silent;
            QTest::addRow("an error in the body %s", mode)
                    << QStringLiteral("throw body") << silent;
        }
    }
    void serverUnreachable()
    {
        QFETCH(QString, server);
        QFETCH(bool, silent);
        UpdateConsole console;
        update::setIdleTimeout(std::chrono::milliseconds(300));
        HttpTestServer::Response stalled{200, versionFile(2, 0, 0)};
        if (server == QLatin1String("silent"))
            stalled.delivery = HttpTestServer::Delivery::Silent;
        else if (server == QLatin1String("stall"))
            stalled.delivery = HttpTestServer::Delivery::HeaderOnly;
        console.http.serve(VersionPath, stalled);
        HttpTestServer::HangingPort hanging;
        if (server == QLatin1String("closed") || server == QLatin1String("hanging")) {
            const quint16 port = server == QLatin1String("closed") ? HttpTestServer::closedPort()
                                                                   : hanging.port();
            qputenv("DOCENTOR_UPDATE_HOST", "http://127.0.0.1:" + QByteArray::number(port));
        }
        if (server.startsWith(QLatin1String("throw"))) {
            const auto at = server.endsWith(QLatin1String("start")) ? update::TransferStage::Start
                            : server.endsWith(QLatin1String("header"))
                                    ? update::TransferStage::Header
                                    : update::TransferStage::Body;
            update::setTransferHook([at](update::TransferStage stage) {
                if (stage == at && at == update::TransferStage::Body)
                    throw std::runtime_error("a failure inside the check");
                if (stage == at)
                    throw std::bad_alloc();
            });
        }

        QVERIFY(console.check(silent));
        QVERIFY(!console.main().UpdateTimer->isActive());
        if (silent) {
            QVERIFY(console.dialogs.shown.isEmpty());
        } else {
            QCOMPARE(console.dialogs.shown.size(), 1);
            const FakeDialogs::Shown warning = console.dialogs.shown.first();
            QCOMPARE(warning.kind, FakeDialogs::Kind::Message);
            QCOMPARE(warning.caption, QStringLiteral("Aktualizacja"));
            QCOMPARE(warning.text, QStringLiteral("Błąd podczas próby połączenia z internetem"));
            QCOMPARE(warning.icon, Dialogs::Icon::Warning);
        }
        QVERIFY(!console.dialogs.offUiThread);
        QCOMPARE(update::serverVersion(), (Version{1, 0, 0}));
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
        console->main().Sprawdczyjestnowawersja1->trigger();
        QVERIFY(served.wait(10000));
        const int before = update::completedChecks();
        console.reset();
        QCOMPARE(update::completedChecks(), before);
    }
};

QTEST_MAIN(UpdateCheckTest)
#include "test_update_check.moc"
