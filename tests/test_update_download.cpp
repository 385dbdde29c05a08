// The installer's download from a real HTTP server on this machine into the
// data folder, without any window: what is kept, what is refused, and what
// is reported on the way.
#include "support/httpserver.h"
#include "support/tempdata.h"
#include "update/httpget.h"
#include "update/installerdownload.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <new>
#include <optional>
#include <stdexcept>

using update::InstallerDownload;
using Outcome = update::InstallerDownload::Outcome;

namespace {

const QByteArray InstallerPath = "/mervix/tablor/program/tabloradminsetup.exe";

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

// One download with everything it reports, in order.
struct DownloadFixture
{
    TempDataHome data;
    HttpTestServer http;
    InstallerDownload download;
    QStringList events;
    QList<int> positions;
    int maximum = -1;
    std::optional<Outcome> outcome;
    bool offOwnThread = false;

    DownloadFixture()
    {
        if (!http.listen())
            qFatal("the test HTTP server cannot listen");
        auto note = [this](const QString &event) {
            events << event;
            if (QThread::currentThread() != download.thread())
                offOwnThread = true;
        };
        QObject::connect(&download, &InstallerDownload::lengthAnnounced, [this, note](int m) {
            note(QStringLiteral("length"));
            maximum = m;
        });
        QObject::connect(&download, &InstallerDownload::writing,
                         [note] { note(QStringLiteral("writing")); });
        QObject::connect(&download, &InstallerDownload::progressed, [this, note](int position) {
            if (events.isEmpty() || events.last() != QLatin1String("progress"))
                note(QStringLiteral("progress"));
            positions << position;
        });
        QObject::connect(&download, &InstallerDownload::finished, [this, note](Outcome o) {
            note(QStringLiteral("finished"));
            outcome = o;
        });
    }

    QUrl url(const QByteArray &host = {}) const
    {
        return QUrl(QString::fromLatin1((host.isEmpty() ? http.address() : host) + InstallerPath));
    }
    QString installerFile() const
    {
        return data.dataFolder() + QStringLiteral("/admin_update.exe");
    }
    bool run(const QUrl &from)
    {
        download.start(from);
        return QTest::qWaitFor([this] { return outcome.has_value(); }, 20000);
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
        InstallerDownload::setLimits(InstallerDownload::MaxInstallerSize,
                                     InstallerDownload::DownloadDeadline);
    }

    // Every way a server may answer, the limits a hostile one meets, and
    // failures inside the download: only a whole installer of the announced
    // length is kept, and nothing of a failed one stays behind.
    void download_data()
    {
        QTest::addColumn<HttpTestServer::Response>("response");
        QTest::addColumn<QString>("server"); // "served", "closed" or "hanging"
        QTest::addColumn<bool>("earlier");   // an earlier download's file stands there
        QTest::addColumn<int>("idleMs");
        QTest::addColumn<qint64>("maxSize");
        QTest::addColumn<int>("deadlineMs");
        QTest::addColumn<int>("throwAt"); // a TransferStage, or -1
        QTest::addColumn<bool>("outOfMemory");
        QTest::addColumn<Outcome>("outcome");
        const QString served = QStringLiteral("served");
        const qint64 cap = InstallerDownload::MaxInstallerSize;
        const int hour = 3600 * 1000;
        auto row = [&](const char *name, const HttpTestServer::Response &response, Outcome o,
                       int idleMs = 300) {
            QTest::newRow(name) << response << served << false << idleMs << cap << hour << -1
                                << false << o;
        };

        row("250 bytes", {200, installerBytes(250)}, Outcome::Succeeded);
        row("100 bytes", {200, installerBytes(100)}, Outcome::Succeeded);
        row("64 KiB", {200, installerBytes(65536)}, Outcome::Succeeded);
        row("empty body", {200, QByteArray()}, Outcome::Succeeded);
        HttpTestServer::Response response(200, installerBytes(250));
        response.delivery = HttpTestServer::Delivery::BrokenOff;
        response.brokenAfter = 120;
        row("body broken off", response, Outcome::ReadFailed);
        // A length is one decimal number, or the body's end is in doubt.
        response = {200, installerBytes(250)};
        response.lengthText = "0250abc";
        row("length text with a tail", response, Outcome::ReadFailed);
        response = {200, installerBytes(10)};
        response.lengthText = "dziesięć";
        row("length not a number", response, Outcome::ReadFailed);
        response = {200, QByteArray()};
        response.lengthText = "-1";
        row("negative length", response, Outcome::ReadFailed);
        response = {200, installerBytes(250)};
        response.lengthText = "100\r\nContent-Length: 250";
        row("lengths that differ", response, Outcome::ReadFailed);
        response.lengthText = "250, 250";
        row("one length said twice", response, Outcome::Succeeded);
        // Chunks carry no length to check the body against.
        response = {200, "FA\r\n" + installerBytes(250) + "\r\n0\r\n\r\n"};
        response.lengthText
                = QByteArray::number(response.body.size()) + "\r\nTransfer-Encoding: chunked";
        row("chunks beside a length", response, Outcome::ReadFailed);
        response.sendLength = false;
        row("chunks without a length", response, Outcome::ReadFailed);

        response = {200, installerBytes(250)};
        response.interimAnswers = 4;
        row("interim answers first", response, Outcome::Succeeded);
        response.delivery = HttpTestServer::Delivery::Interim;
        row("interim answers without end", response, Outcome::ConnectionFailed, 3600 * 1000);
        response = {200, installerBytes(250)};
        response.redirects = 1;
        row("redirected", response, Outcome::Succeeded, 5000);
        response.relativeRedirects = true;
        row("redirected to a path on the same server", response, Outcome::Succeeded, 5000);
        response.redirects = 10;
        row("redirected ten times", response, Outcome::Succeeded, 5000);
        response.redirects = 11;
        row("redirected eleven times", response, Outcome::ReadFailed, 5000);
        // The time before the header holds for all the servers on the way.
        response.redirects = 4;
        response.delayMs = 150;
        row("redirects slower than the idle time in all", response, Outcome::ConnectionFailed, 400);
        row("error page 404", {404, "<html>Nie znaleziono</html>"}, Outcome::ReadFailed);
        row("error page 500", {500, "<html>Błąd serwera</html>"}, Outcome::ReadFailed);
        response = {200, installerBytes(250)};
        response.sendLength = false;
        row("no content length", response, Outcome::ReadFailed);
        response = {200, installerBytes(250)};
        response.delivery = HttpTestServer::Delivery::HeaderOnly;
        row("silence after the header", response, Outcome::ReadFailed);
        // A server that never gets as far as a status line is no server.
        response.delivery = HttpTestServer::Delivery::Silent;
        row("no answer at all", response, Outcome::ConnectionFailed);
        response.delivery = HttpTestServer::Delivery::Closed;
        row("closed without an answer", response, Outcome::ConnectionFailed);
        response.delivery = HttpTestServer::Delivery::Endless;
        row("an endless header", response, Outcome::ConnectionFailed, 3600 * 1000);
        for (const char *server : {"closed", "hanging"}) {
            QTest::addRow("%s port", server) << HttpTestServer::Response(200, installerBytes(250))
                                             << QString::fromLatin1(server) << false << 300 << cap
                                             << hour << -1 << false << Outcome::ConnectionFailed;
        }

        // Whatever an earlier download left is gone before the new one is
        // written, and does not survive a failed one.
        QTest::newRow("earlier file replaced")
                << HttpTestServer::Response(200, installerBytes(250)) << served << true << 300
                << cap << hour << -1 << false << Outcome::Succeeded;
        QTest::newRow("earlier file, shorter replacement")
                << HttpTestServer::Response(200, "MZ") << served << true << 300 << cap << hour << -1
                << false << Outcome::Succeeded;
        QTest::newRow("earlier file removed by an error page")
                << HttpTestServer::Response(404, "<html>brak</html>") << served << true << 300
                << cap << hour << -1 << false << Outcome::ReadFailed;

        // From here on the server would hold the download for an hour: only
        // the limits or the failure can end it.
        response = {200, installerBytes(250)};
        response.delivery = HttpTestServer::Delivery::Trickle;
        QTest::newRow("trickling past the deadline") << response << served << false << hour << cap
                                                     << 300 << -1 << false << Outcome::ReadFailed;
        response = {200, installerBytes(1001)};
        response.delivery = HttpTestServer::Delivery::HeaderOnly;
        QTest::newRow("announced above the cap")
                << response << served << false << hour << qint64(1000) << hour << -1 << false
                << Outcome::ReadFailed;
        response.lengthText = "99999999999999999999999";
        QTest::newRow("announced beyond any number") << response << served << false << hour << cap
                                                     << hour << -1 << false << Outcome::ReadFailed;
        QTest::newRow("exactly at the cap")
                << HttpTestServer::Response(200, installerBytes(1000)) << served << false << hour
                << qint64(1000) << hour << -1 << false << Outcome::Succeeded;
        // Chunks beside a length are refused before the first chunk; a body
        // past its length would be cut off as well.
        response = {200, installerBytes(5000)};
        response.delivery = HttpTestServer::Delivery::Chunked;
        response.lengthText = "250";
        QTest::newRow("chunked body beyond its length")
                << response << served << false << hour << cap << hour << -1 << false
                << Outcome::ReadFailed;

        const HttpTestServer::Response installer(200, installerBytes(250));
        using Stage = update::TransferStage;
        QTest::newRow("out of memory at the start")
                << installer << served << false << hour << cap << hour << int(Stage::Start) << true
                << Outcome::ReadFailed;
        QTest::newRow("out of memory at the header")
                << installer << served << false << hour << cap << hour << int(Stage::Header) << true
                << Outcome::ReadFailed;
        QTest::newRow("out of memory in the body")
                << installer << served << false << hour << cap << hour << int(Stage::Body) << true
                << Outcome::ReadFailed;
        QTest::newRow("an error in the body") << installer << served << false << hour << cap << hour
                                              << int(Stage::Body) << false << Outcome::ReadFailed;
    }
    void download()
    {
        QFETCH(HttpTestServer::Response, response);
        QFETCH(QString, server);
        QFETCH(bool, earlier);
        QFETCH(int, idleMs);
        QFETCH(qint64, maxSize);
        QFETCH(int, deadlineMs);
        QFETCH(int, throwAt);
        QFETCH(bool, outOfMemory);
        QFETCH(Outcome, outcome);
        DownloadFixture f;
        update::setIdleTimeout(std::chrono::milliseconds(idleMs));
        InstallerDownload::setLimits(maxSize, std::chrono::milliseconds(deadlineMs));
        update::setTransferHook([throwAt, outOfMemory](update::TransferStage stage) {
            if (int(stage) != throwAt)
                return;
            if (outOfMemory)
                throw std::bad_alloc();
            throw std::runtime_error("a failure inside the download");
        });
        f.http.serve(InstallerPath, response);
        if (earlier)
            f.data.writeFile(QStringLiteral("admin_update.exe"), installerBytes(4000));
        HttpTestServer::HangingPort hanging;
        QByteArray host;
        if (server != QLatin1String("served")) {
            const quint16 port = server == QLatin1String("closed") ? HttpTestServer::closedPort()
                                                                   : hanging.port();
            host = "http://127.0.0.1:" + QByteArray::number(port);
        }

        QVERIFY(f.run(f.url(host)));
        const bool succeeded = outcome == Outcome::Succeeded;
        QCOMPARE(*f.outcome, outcome);
        QCOMPARE(f.download.succeeded(), succeeded);
        QVERIFY(!f.offOwnThread);
        // The end is the last report.
        QCOMPARE(f.events.last(), QStringLiteral("finished"));
        QCOMPARE(f.events.count(QStringLiteral("finished")), 1);
        // Qt's HTTP client may try again on the same download when the server
        // breaks the protocol; every try names the agent.
        for (const auto &request : f.http.requests)
            QCOMPARE(request.userAgent, QByteArray("UPDATE CHECK"));

        QFile file(f.installerFile());
        QCOMPARE(file.exists(), succeeded);
        if (!succeeded)
            return;
        QVERIFY(!f.http.requests.isEmpty());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), response.body);
        QCOMPARE(file.permissions() & AnyoneAtAll, OwnerOnly);
        QCOMPARE(f.download.installerPath(), f.installerFile());
        QCOMPARE(f.maximum, int(response.body.size()));
        if (response.body.isEmpty()) {
            QCOMPARE(f.events, (QStringList{"length", "writing", "finished"}));
        } else {
            QCOMPARE(f.events, (QStringList{"length", "writing", "progress", "finished"}));
            // The gauge moves 100 a read, never back, and its last report is
            // the maximum.
            QVERIFY(std::is_sorted(f.positions.begin(), f.positions.end()));
            QCOMPARE(f.positions.last(), f.maximum);
            QVERIFY(f.positions.first() > 0);
        }
    }

    void fileCannotBeCreated_data()
    {
        QTest::addColumn<bool>("link");
        QTest::newRow("a folder in the way") << false;
        QTest::newRow("a link planted there") << true;
    }
    void fileCannotBeCreated()
    {
        QFETCH(bool, link);
        DownloadFixture f;
        f.http.serve(InstallerPath, HttpTestServer::Response(200, installerBytes(250)));
        const QString target = f.data.root() + QStringLiteral("/elsewhere");
        if (link) {
            QDir().mkpath(f.data.dataFolder());
            QVERIFY(QFile::link(target, f.installerFile()));
        } else {
            // Not empty, so it cannot just be removed.
            f.data.writeFile(QStringLiteral("admin_update.exe/inside"), "x");
        }
        QVERIFY(f.run(f.url()));
        if (link) {
            // The link goes like any earlier file; nothing is written through it.
            QCOMPARE(*f.outcome, Outcome::Succeeded);
            QVERIFY(!QFileInfo(f.installerFile()).isSymLink());
            QVERIFY(!QFile::exists(target));
        } else {
            QCOMPARE(*f.outcome, Outcome::WriteFailed);
            QVERIFY(QFileInfo(f.installerFile()).isDir());
            QVERIFY(!f.events.contains(QStringLiteral("writing")));
        }
    }

    // A stopped download, or one whose object goes, does not wait for a
    // server that never answers, leaves no part behind and reports nothing
    // more; a new one after it runs as if it were the first.
    void stoppingADownload_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("stopped, then started again") << false;
        QTest::newRow("its object destroyed") << true;
    }
    void stoppingADownload()
    {
        QFETCH(bool, destroy);
        DownloadFixture f;
        // Far beyond the test's own time limit: only the stop can end it.
        update::setIdleTimeout(std::chrono::hours(1));
        HttpTestServer::Response stalled(200, installerBytes(250));
        stalled.delivery = HttpTestServer::Delivery::HeaderOnly;
        f.http.serve(InstallerPath, stalled);
        if (destroy) {
            auto download = std::make_unique<InstallerDownload>();
            QSignalSpy writing(download.get(), &InstallerDownload::writing);
            download->start(f.url());
            QVERIFY(writing.wait(20000));
            QVERIFY(QFile::exists(f.installerFile()));
            download.reset();
            QVERIFY(!QFile::exists(f.installerFile()));
            return;
        }
        f.download.start(f.url());
        QTRY_VERIFY_WITH_TIMEOUT(f.events.contains(QStringLiteral("writing")), 20000);
        QVERIFY(QFile::exists(f.installerFile()));
        f.download.stop();
        QVERIFY(!QFile::exists(f.installerFile()));
        QVERIFY(!f.download.succeeded());

        f.http.serve(InstallerPath, HttpTestServer::Response(200, installerBytes(250)));
        f.events.clear();
        QVERIFY(f.run(f.url()));
        QCOMPARE(*f.outcome, Outcome::Succeeded);
        QCOMPARE(f.events.count(QStringLiteral("finished")), 1);
        QCOMPARE(f.events.first(), QStringLiteral("length"));
        QCOMPARE(f.data.readFile(QStringLiteral("admin_update.exe")), installerBytes(250));
    }
};

QTEST_GUILESS_MAIN(UpdateDownloadTest)
#include "test_update_download.moc"
