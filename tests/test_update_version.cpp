// The version record, its comparison, the version file's bytes, the choice
// of the vendor's server address, and the check itself against a real HTTP
// server on this machine, without any window.
#include "support/httpserver.h"
#include "support/tempdata.h"
#include "update/httpget.h"
#include "update/updatehost.h"
#include "update/version.h"
#include "update/versioncheck.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <QFile>

#include <memory>
#include <new>
#include <stdexcept>

#include <unistd.h>

using update::Version;

Q_DECLARE_METATYPE(Version)
Q_DECLARE_METATYPE(std::optional<Version>)

namespace {

const QByteArray VersionPath = "/mervix/tablor/program/admin_wersja.bin";

// A check and, in order, what it reports.
struct CheckFixture
{
    HttpTestServer http;
    std::unique_ptr<update::VersionCheck> check = std::make_unique<update::VersionCheck>();
    QStringList reports;
    bool offOwnThread = false;

    CheckFixture()
    {
        if (!http.listen())
            qFatal("the test HTTP server cannot listen");
        using update::VersionCheck;
        for (const auto &[signal, name] :
             {std::pair{&VersionCheck::newerVersionFound, "newer"},
              std::pair{&VersionCheck::noNewerVersion, "no newer"},
              std::pair{&VersionCheck::connectionFailed, "no connection"},
              std::pair{&VersionCheck::checkEnded, "ended"}}) {
            QObject::connect(check.get(), signal, check.get(), [this, name] {
                reports << QString::fromLatin1(name);
                if (QThread::currentThread() != check->thread())
                    offOwnThread = true;
            });
        }
    }
    QUrl url(const QByteArray &host = {}) const
    {
        return QUrl(QString::fromLatin1((host.isEmpty() ? http.address() : host) + VersionPath));
    }
};

// Once a check has ended, nothing in the process reads its server any more:
// the connection is closed, and CPU time and memory stop growing while the
// server would go on sending.
void nothingReadsOn(const HttpTestServer &http)
{
    QTRY_COMPARE(http.openConnections(), 0);
    auto cost = [] { // CPU ticks (fields 14 and 15 of stat) and resident pages
        QFile stat(QStringLiteral("/proc/self/stat")), statm(QStringLiteral("/proc/self/statm"));
        if (!stat.open(QIODevice::ReadOnly) || !statm.open(QIODevice::ReadOnly))
            qFatal("no /proc/self");
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        return std::pair(fields.value(11).toLongLong() + fields.value(12).toLongLong(),
                         statm.readAll().split(' ').value(1).toLongLong());
    };
    const auto [cpu, pages] = cost();
    QTest::qWait(2000);
    const auto [cpuAfter, pagesAfter] = cost();
    // Generous bounds: a reader left behind took a core and 0.7 MB a second.
    QVERIFY2(cpuAfter - cpu < sysconf(_SC_CLK_TCK) / 2, "CPU time still grows");
    QVERIFY2((pagesAfter - pages) * sysconf(_SC_PAGESIZE) < 16 * 1024 * 1024, "memory grows");
}

} // namespace

class UpdateVersionTest : public QObject
{
    Q_OBJECT
private slots:
    void cleanup()
    {
        update::setIdleTimeout(std::chrono::seconds(30));
        update::setTransferHook({});
        update::setServerVersion({1, 0, 0});
    }

    void comparison_data()
    {
        QTest::addColumn<Version>("server");
        QTest::addColumn<bool>("newer");
        // Against the program's own 1.0.6.
        QTest::newRow("same") << Version{1, 0, 6} << false;
        QTest::newRow("next release") << Version{1, 0, 7} << true;
        QTest::newRow("next minor") << Version{1, 1, 0} << true;
        QTest::newRow("next major") << Version{2, 0, 0} << true;
        QTest::newRow("older major") << Version{0, 9, 9} << false;
        QTest::newRow("older release") << Version{1, 0, 5} << false;
        QTest::newRow("newer minor, lower release") << Version{1, 1, -7} << true;
        QTest::newRow("newer major, lower minor") << Version{2, -1, 0} << true;
        QTest::newRow("negative major") << Version{-2, 9, 9} << false;
        QTest::newRow("largest release") << Version{1, 0, INT_MAX} << true;
        QTest::newRow("smallest major") << Version{INT_MIN, 0, 0} << false;
    }
    void comparison()
    {
        QFETCH(Version, server);
        QFETCH(bool, newer);
        QCOMPARE(server.isNewerThan(update::ProgramVersion), newer);
        // Nothing is newer than itself, and of two different versions one is.
        QVERIFY(!server.isNewerThan(server));
        if (!(server == update::ProgramVersion))
            QCOMPARE(update::ProgramVersion.isNewerThan(server), !newer);
    }

    void versionText_data()
    {
        QTest::addColumn<Version>("version");
        QTest::addColumn<QString>("text");
        QTest::newRow("program") << update::ProgramVersion << QStringLiteral("1.0.6");
        QTest::newRow("no padding") << Version{10, 20, 300} << QStringLiteral("10.20.300");
        QTest::newRow("signed") << Version{-1, 0, -30} << QStringLiteral("-1.0.-30");
        QTest::newRow("extremes") << Version{INT_MIN, INT_MAX, 0}
                                  << QStringLiteral("-2147483648.2147483647.0");
    }
    void versionText()
    {
        QFETCH(Version, version);
        QFETCH(QString, text);
        QCOMPARE(version.text(), text);
    }

    void versionFileBytes_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<std::optional<Version>>("version");
        QTest::newRow("1.0.7") << versionFile(1, 0, 7) << std::optional(Version{1, 0, 7});
        QTest::newRow("little-endian") << QByteArray::fromHex("020100000403000006050000")
                                       << std::optional(Version{0x102, 0x304, 0x506});
        QTest::newRow("signed") << QByteArray::fromHex("fffffffffeffffff00000080")
                                << std::optional(Version{-1, -2, INT_MIN});
        QTest::newRow("trailing bytes ignored")
                << versionFile(2, 0, 0) + "tail of the file" << std::optional(Version{2, 0, 0});
        // The release read before (1.0.3 here) stays whole.
        QTest::newRow("8 bytes") << versionFile(1, 1, 0).left(8) << std::optional(Version{1, 1, 3});
        QTest::newRow("11 bytes") << versionFile(1, 1, 9).left(11)
                                  << std::optional(Version{1, 1, 3});
        QTest::newRow("7 bytes") << versionFile(1, 1, 0).left(7) << std::optional<Version>();
        QTest::newRow("empty") << QByteArray() << std::optional<Version>();
    }
    void versionFileBytes()
    {
        QFETCH(QByteArray, file);
        QFETCH(std::optional<Version>, version);
        QCOMPARE(update::parseVersionFile(file, {1, 0, 3}), version);
    }

    void serverAddress_data()
    {
        QTest::addColumn<QByteArray>("environment");
        QTest::addColumn<QByteArray>("settingLine");
        QTest::addColumn<QString>("expected");
        const QString builtIn = QStringLiteral(DOCENTOR_UPDATE_HOST);
        QTest::newRow("built in") << QByteArray() << QByteArray() << builtIn;
        QTest::newRow("setting") << QByteArray() << QByteArray("<UPDATE HOST>http://szkola.test")
                                 << QStringLiteral("http://szkola.test");
        QTest::newRow("environment over setting") << QByteArray("http://127.0.0.1:8080")
                                                  << QByteArray("<UPDATE HOST>http://szkola.test")
                                                  << QStringLiteral("http://127.0.0.1:8080");
        QTest::newRow("trailing slashes dropped")
                << QByteArray("http://mirror.test/aktualizacje//") << QByteArray()
                << QStringLiteral("http://mirror.test/aktualizacje");
        QTest::newRow("https allowed")
                << QByteArray() << QByteArray("<UPDATE HOST>https://szkola.test")
                << QStringLiteral("https://szkola.test");
        QTest::newRow("bad environment falls back to setting")
                << QByteArray("ftp://files.test") << QByteArray("<UPDATE HOST>http://szkola.test")
                << QStringLiteral("http://szkola.test");
        QTest::newRow("bad setting falls back to built in")
                << QByteArray() << QByteArray("<UPDATE HOST>szkola") << builtIn;
        QTest::newRow("no host falls back") << QByteArray("http://") << QByteArray() << builtIn;
        QTest::newRow("query refused")
                << QByteArray("http://a.test/?x=1") << QByteArray() << builtIn;
    }
    void serverAddress()
    {
        QFETCH(QByteArray, environment);
        QFETCH(QByteArray, settingLine);
        QFETCH(QString, expected);
        TempDataHome home;
        if (environment.isEmpty())
            qunsetenv(update::HostEnvironmentVariable);
        else
            qputenv(update::HostEnvironmentVariable, environment);
        home.writeFile(QStringLiteral("settings.set"),
                       "<FIRST RUN>FALSE\r\n" + settingLine
                               + (settingLine.isEmpty() ? "" : "\r\n"));
        QCOMPARE(update::updateHost(), expected);
        QCOMPARE(update::updateUrl(update::VersionFilePath).toString(),
                 expected + QStringLiteral("/mervix/tablor/program/admin_wersja.bin"));
    }

    // Every kind of answer a server may give, in both modes: a newer
    // version is reported from either, the rest only to the menu's check,
    // and only a 200 answer with all 12 bytes is a version at all.
    void check_data()
    {
        QTest::addColumn<HttpTestServer::Response>("response");
        QTest::addColumn<QString>("server"); // "served", "closed", "hanging" or "throw <stage>"
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<Version>("version"); // the server's version afterwards
        const Version before{1, 0, 3};
        const QString served = QStringLiteral("served");
        const QStringList ended{QStringLiteral("ended")};
        for (const bool silent : {true, false}) {
            const char *mode = silent ? "at start-up" : "from the menu";
            auto menuOnly = [&](const char *report) {
                return silent ? ended : QStringList{QString::fromLatin1(report), ended.first()};
            };
            for (const Version &v : {Version{1, 0, 7}, Version{1, 1, 0}, Version{2, 0, 0}}) {
                QTest::addRow("%s %s", qPrintable(v.text()), mode)
                        << HttpTestServer::Response(200, versionFile(v.major, v.minor, v.release))
                        << served << silent << QStringList{"newer", "ended"} << v;
            }
            // A longer file is read for its first 12 bytes.
            for (const Version &v : {Version{1, 0, 6}, Version{0, 9, 9}, Version{1, 0, 5}}) {
                QTest::addRow("%s %s", qPrintable(v.text()), mode)
                        << HttpTestServer::Response(200, versionFile(v.major, v.minor, v.release)
                                                                 + QByteArray(500, 'x'))
                        << served << silent << menuOnly("no newer") << v;
            }

            auto noVersion = [&](const char *name, const HttpTestServer::Response &response) {
                QTest::addRow("%s %s", name, mode)
                        << response << served << silent << ended << before;
            };
            noVersion("404", {404, "<html>Nie znaleziono</html>"});
            noVersion("500", {500, versionFile(2, 0, 0)});
            // Major and minor alone; the release stays as it was.
            QTest::addRow("8-byte 1.1 %s", mode)
                    << HttpTestServer::Response(200, versionFile(1, 1, 0).left(8)) << served
                    << silent << QStringList{"newer", "ended"} << Version{1, 1, 3};
            QTest::addRow("8-byte 0.9 %s", mode)
                    << HttpTestServer::Response(200, versionFile(0, 9, 9).left(8)) << served
                    << silent << menuOnly("no newer") << Version{0, 9, 3};

            // Answers that are no version file: the teacher who asked is told.
            auto unreadable = [&](const char *name, const HttpTestServer::Response &response) {
                QTest::addRow("%s %s", name, mode)
                        << response << served << silent << menuOnly("no connection") << before;
            };
            unreadable("403 with 12 bytes", {403, versionFile(2, 0, 0)});
            unreadable("7-byte body", {200, versionFile(1, 1, 0).left(7)});
            unreadable("empty body", {200, QByteArray()});
            HttpTestServer::Response response(200, versionFile(3, 0, 0));
            response.delivery = HttpTestServer::Delivery::BrokenOff;
            response.brokenAfter = 8;
            unreadable("body broken off", response);

            // No server, one that stops answering, or a check that fails
            // inside, even for want of memory.
            auto unreachable = [&](const char *name, const QString &server,
                                   HttpTestServer::Delivery delivery) {
                HttpTestServer::Response stalled(200, versionFile(2, 0, 0));
                stalled.delivery = delivery;
                QTest::addRow("%s %s", name, mode)
                        << stalled << server << silent << menuOnly("no connection") << before;
            };
            using Delivery = HttpTestServer::Delivery;
            unreachable("nobody listening", QStringLiteral("closed"), Delivery::Whole);
            unreachable("a connect that hangs", QStringLiteral("hanging"), Delivery::Whole);
            unreachable("no answer at all", served, Delivery::Silent);
            unreachable("header, then silence", served, Delivery::HeaderOnly);
            unreachable("an endless header", served, Delivery::Endless);
            unreachable("out of memory at the start", QStringLiteral("throw start"),
                        Delivery::Whole);
            unreachable("out of memory at the header", QStringLiteral("throw header"),
                        Delivery::Whole);
            unreachable("an error in the body", QStringLiteral("throw body"), Delivery::Whole);
        }
    }
    void check()
    {
        QFETCH(HttpTestServer::Response, response);
        QFETCH(QString, server);
        QFETCH(bool, silent);
        QFETCH(QStringList, reports);
        QFETCH(Version, version);
        CheckFixture f;
        update::setServerVersion({1, 0, 3});
        update::setIdleTimeout(std::chrono::milliseconds(300));
        f.http.serve(VersionPath, response);
        HttpTestServer::HangingPort hanging;
        QByteArray host;
        if (server == QLatin1String("closed") || server == QLatin1String("hanging")) {
            const quint16 port = server == QLatin1String("closed") ? HttpTestServer::closedPort()
                                                                   : hanging.port();
            host = "http://127.0.0.1:" + QByteArray::number(port);
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

        f.check->start(f.url(host), silent);
        QTRY_VERIFY_WITH_TIMEOUT(f.reports.contains(QStringLiteral("ended")), 20000);
        QCOMPARE(f.reports, reports);
        QVERIFY(!f.offOwnThread);
        QCOMPARE(update::serverVersion(), version);
        // Qt's HTTP client may ask again when an answer breaks off.
        for (const auto &request : f.http.requests) {
            QCOMPARE(request.method, QByteArray("GET"));
            QCOMPARE(request.userAgent, QByteArray("UPDATE CHECK"));
        }
        if (version != Version{1, 0, 3})
            QCOMPARE(f.http.requests.size(), 1);
        if (response.delivery == HttpTestServer::Delivery::Endless)
            nothingReadsOn(f.http);
    }

    // Stopping the checks, or destroying their object, does not wait for a
    // server that never answers, and nothing more is reported for them; a
    // check after the stop runs as usual.
    void stoppingChecks_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("stopped, then checked again") << false;
        QTest::newRow("its object destroyed") << true;
    }
    void stoppingChecks()
    {
        QFETCH(bool, destroy);
        CheckFixture f;
        // Far beyond the test's own time limit: only the stop can end these.
        update::setIdleTimeout(std::chrono::hours(1));
        HttpTestServer::Response silent;
        silent.delivery = HttpTestServer::Delivery::Silent;
        f.http.serve(VersionPath, silent);
        QSignalSpy served(&f.http, &HttpTestServer::requestServed);
        // The start-up check and one from the menu, side by side.
        f.check->start(f.url(), true);
        f.check->start(f.url(), false);
        QTRY_COMPARE_WITH_TIMEOUT(served.size(), 2, 10000);
        if (destroy) {
            f.check.reset();
            QVERIFY(f.reports.isEmpty());
            return;
        }
        f.check->stop();
        QCoreApplication::processEvents();
        QVERIFY(f.reports.isEmpty());

        update::setServerVersion({1, 0, 0});
        f.http.serve(VersionPath, {200, versionFile(1, 0, 7)});
        f.check->start(f.url(), true);
        QTRY_VERIFY_WITH_TIMEOUT(f.reports.contains(QStringLiteral("ended")), 20000);
        QCOMPARE(f.reports, (QStringList{"newer", "ended"}));
        QCOMPARE(update::serverVersion(), (Version{1, 0, 7}));
    }
};

QTEST_GUILESS_MAIN(UpdateVersionTest)
#include "test_update_version.moc"
