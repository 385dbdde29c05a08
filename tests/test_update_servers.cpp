// The version check and the installer download against the servers a school
// really runs, started here on loopback with everything in a scratch folder:
// nginx serving the files plain and over TLS (certificates from a test
// authority made with openssl), squid as the school's web proxy.
#include "support/httpserver.h"
#include "support/serverprocess.h"
#include "support/tempdata.h"
#include "update/httpget.h"
#include "update/installerdownload.h"
#include "update/versioncheck.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using update::InstallerDownload;
using Outcome = update::InstallerDownload::Outcome;
using Kind = update::VersionAnswer::Kind;

namespace {

const QString VersionPath = QStringLiteral("/mervix/tablor/program/admin_wersja.bin");
const QString InstallerPath = QStringLiteral("/mervix/tablor/program/tabloradminsetup.exe");
// Known to squid alone (its own hosts file): Qt sends a loopback address
// past any proxy, so only a name makes the request go through it.
const QString ProxiedName = QStringLiteral("aktualizacje.docentor.test");

QByteArray installerBytes()
{
    QByteArray bytes(3000, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 13 + 5) % 256);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class UpdateServersTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void throughRealServers_data();
    void throughRealServers();

private:
    QString path(const QString &name) const { return m_scratch.path() + QLatin1Char('/') + name; }
    bool makeCertificates(QString *error);
    QString certificate(const QString &name, const QString &ca, const QString &names,
                        QString *error);
    QByteArray nginxConfig() const;
    QByteArray squidConfig() const;
    QString expand(QString url) const;
    Kind check(const QString &url, QByteArray *file);
    Outcome download(const QString &url, QByteArray *saved);

    QTemporaryDir m_scratch;
    ServerProcess m_nginx;
    ServerProcess m_squid;
    quint16 m_plain = 0, m_tls = 0, m_untrusted = 0, m_wrongName = 0, m_proxy = 0;
};

void UpdateServersTest::initTestCase()
{
    for (const char *program : {"nginx", "squid", "openssl"}) {
        if (ServerProcess::find(QLatin1String(program)).isEmpty()) {
            const QByteArray reason
                    = QByteArray(program) + " is not installed (scripts/setup.sh installs it)";
            QSKIP(reason.constData());
        }
    }
    QVERIFY(m_scratch.isValid());
    // squid, started as root, works as its own user: it must reach its folder.
    const QFile::Permissions readable = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther
                                        | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    QFile::setPermissions(m_scratch.path(), readable | QFile::WriteOwner);
    QString error;
    QVERIFY2(makeCertificates(&error), qPrintable(error));
    m_plain = HttpTestServer::closedPort();
    m_tls = HttpTestServer::closedPort();
    m_untrusted = HttpTestServer::closedPort();
    m_wrongName = HttpTestServer::closedPort();
    m_proxy = HttpTestServer::closedPort();

    QVERIFY(writeFile(path("www") + VersionPath, versionFile(1, 1, 0)));
    QVERIFY(writeFile(path("www") + InstallerPath, installerBytes()));
    QVERIFY(QDir().mkpath(path("nginx/temp")));
    QVERIFY(writeFile(path("nginx/nginx.conf"), nginxConfig()));
    QVERIFY(m_nginx.start(
            ServerProcess::find(QStringLiteral("nginx")),
            {"-p", path("nginx"), "-c", path("nginx/nginx.conf"), "-e", path("nginx/error.log")},
            path("nginx/output.txt")));
    for (quint16 port : {m_plain, m_tls, m_untrusted, m_wrongName})
        QVERIFY2(waitForTcpPort(port, m_nginx), qPrintable(path("nginx/error.log")));

    QVERIFY(QDir().mkpath(path("squid")));
    QFile::setPermissions(path("squid"), QFile::Permissions(0x7777));
    QVERIFY(writeFile(path("squid/hosts"), "127.0.0.1 " + ProxiedName.toLatin1() + "\n"));
    QVERIFY(writeFile(path("squid/squid.conf"), squidConfig()));
    QVERIFY(m_squid.start(ServerProcess::find(QStringLiteral("squid")),
                          {"-N", "-f", path("squid/squid.conf")}, path("squid/output.txt")));
    QVERIFY2(waitForTcpPort(m_proxy, m_squid), qPrintable(path("squid/cache.log")));
}

void UpdateServersTest::cleanupTestCase()
{
    m_squid.stop();
    m_nginx.stop();
    update::setExtraTrustedCertificates({});
}

void UpdateServersTest::init()
{
    update::setIdleTimeout(std::chrono::seconds(10));
    qunsetenv("http_proxy");
    qunsetenv("https_proxy");
    update::setExtraTrustedCertificates({});
}

// The test authority, a server certificate from it for 127.0.0.1 and the
// proxied name, one from it for another name, and one for the right names
// from an authority nobody trusts.
bool UpdateServersTest::makeCertificates(QString *error)
{
    const QString openssl = ServerProcess::find(QStringLiteral("openssl"));
    for (const QString &ca : {QStringLiteral("ca"), QStringLiteral("obce-ca")}) {
        if (!ServerProcess::run(openssl,
                                {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                                 "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                                 "/CN=Docentor " + ca, "-keyout", path(ca + ".key"), "-out",
                                 path(ca + ".crt")},
                                error))
            return false;
    }
    const QString right = "subjectAltName=IP:127.0.0.1,DNS:" + ProxiedName;
    return !certificate(QStringLiteral("serwer"), QStringLiteral("ca"), right, error).isEmpty()
           && !certificate(QStringLiteral("obcy"), QStringLiteral("obce-ca"), right, error)
                       .isEmpty()
           && !certificate(QStringLiteral("inna-nazwa"), QStringLiteral("ca"),
                           QStringLiteral("subjectAltName=DNS:inny.docentor.test"), error)
                       .isEmpty();
}

QString UpdateServersTest::certificate(const QString &name, const QString &ca, const QString &names,
                                       QString *error)
{
    const QString openssl = ServerProcess::find(QStringLiteral("openssl"));
    if (!writeFile(path(name + ".ext"), names.toLatin1() + "\n")
        || !ServerProcess::run(openssl,
                               {"req", "-new", "-newkey", "ec", "-pkeyopt",
                                "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=" + name,
                                "-keyout", path(name + ".key"), "-out", path(name + ".csr")},
                               error)
        || !ServerProcess::run(openssl,
                               {"x509", "-req", "-in", path(name + ".csr"), "-CA",
                                path(ca + ".crt"), "-CAkey", path(ca + ".key"), "-CAcreateserial",
                                "-days", "2", "-extfile", path(name + ".ext"), "-out",
                                path(name + ".crt")},
                               error))
        return {};
    return path(name + ".crt");
}

QByteArray UpdateServersTest::nginxConfig() const
{
    QString tls;
    const QList<std::pair<quint16, QString>> tlsServers{
            {m_tls, "serwer"}, {m_untrusted, "obcy"}, {m_wrongName, "inna-nazwa"}};
    for (const auto &[port, name] : tlsServers) {
        tls += QStringLiteral("server { listen 127.0.0.1:%1 ssl; root %2;"
                              " ssl_certificate %3.crt; ssl_certificate_key %3.key;"
                              " location /do-http/ { rewrite ^/do-http(/.*)$"
                              " http://127.0.0.1:%4$1 redirect; } }\n")
                       .arg(port)
                       .arg(path("www"), path(name))
                       .arg(m_plain);
    }
    // The version file through SSI comes in chunks with a trailer, as
    // generated content does; the redirects go to https, and to a path
    // given without the server.
    return QStringLiteral(
                   "daemon off; master_process off; pid %1/nginx.pid;\n"
                   "events { worker_connections 64; }\n"
                   "http { access_log %1/access.log; default_type application/octet-stream;\n"
                   "client_body_temp_path %2/body; proxy_temp_path %2/proxy;\n"
                   "fastcgi_temp_path %2/fastcgi; uwsgi_temp_path %2/uwsgi;\n"
                   "scgi_temp_path %2/scgi;\n"
                   "server { listen 127.0.0.1:%3; root %4;\n"
                   " location /porcjami/ { alias %4/; ssi on; ssi_types *;"
                   " add_trailer X-Sprawdzone tak; }\n"
                   " location /do-https/ { rewrite ^/do-https(/.*)$ https://127.0.0.1:%5$1"
                   " redirect; }\n"
                   " location /tutaj/ { absolute_redirect off; rewrite ^/tutaj(/.*)$ $1"
                   " redirect; } }\n"
                   "%6}\n")
            .arg(path("nginx"), path("nginx/temp"))
            .arg(m_plain)
            .arg(path("www"))
            .arg(m_tls)
            .arg(tls)
            .toLatin1();
}

QByteArray UpdateServersTest::squidConfig() const
{
    // No cache, no helpers, no waiting at the end; names from its own file.
    return QStringLiteral("http_port 127.0.0.1:%1\n"
                          "hosts_file %2/hosts\n"
                          "dns_nameservers 127.0.0.1\n"
                          "pid_filename %2/squid.pid\n"
                          "cache_log %2/cache.log\n"
                          "access_log stdio:%2/access.log\n"
                          "cache_store_log none\n"
                          "cache deny all\n"
                          "coredump_dir %2\n"
                          "netdb_filename none\n"
                          "pinger_enable off\n"
                          "shutdown_lifetime 0 seconds\n"
                          "visible_hostname docentor-test-proxy\n"
                          "http_access allow localhost\n"
                          "http_access deny all\n")
            .arg(m_proxy)
            .arg(path("squid"))
            .toLatin1();
}

QString UpdateServersTest::expand(QString url) const
{
    return url.replace(QLatin1String("{plain}"), QString::number(m_plain))
            .replace(QLatin1String("{tls}"), QString::number(m_tls))
            .replace(QLatin1String("{untrusted}"), QString::number(m_untrusted))
            .replace(QLatin1String("{wrongName}"), QString::number(m_wrongName))
            .replace(QLatin1String("{name}"), ProxiedName);
}

Kind UpdateServersTest::check(const QString &url, QByteArray *file)
{
    std::atomic<bool> stop{false};
    update::VersionAnswer answer;
    std::thread worker([&] { answer = update::fetchServerVersion(QUrl(url), stop); });
    worker.join();
    *file = answer.file;
    return answer.kind;
}

Outcome UpdateServersTest::download(const QString &url, QByteArray *saved)
{
    TempDataHome data;
    InstallerDownload download;
    QSignalSpy finished(&download, &InstallerDownload::finished);
    download.start(QUrl(url));
    if (!finished.wait(20000))
        return Outcome::WriteFailed; // no outcome at all: fails every row
    QFile file(data.dataFolder() + QStringLiteral("/admin_update.exe"));
    *saved = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(no file)");
    return finished.first().first().value<Outcome>();
}

// Each row: the check and the download from the same server, through their
// real code paths.
void UpdateServersTest::throughRealServers_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("trustTestCa");
    QTest::addColumn<bool>("viaProxy");
    QTest::addColumn<int>("checked");
    QTest::addColumn<Outcome>("downloaded");
    QTest::addColumn<QString>("proxyLog"); // what squid's log must show

    auto row = [](const char *name, const char *server, Kind kind, Outcome outcome,
                  bool trust = true, bool viaProxy = false, const QString &log = {}) {
        QTest::newRow(name) << QString::fromLatin1(server) << trust << viaProxy << int(kind)
                            << outcome << log;
    };
    row("plain", "http://127.0.0.1:{plain}", Kind::Found, Outcome::Succeeded);
    // The installer needs its length, which chunks do not give.
    row("chunked with a trailer", "http://127.0.0.1:{plain}/porcjami", Kind::Found,
        Outcome::ReadFailed);
    row("https from the test authority", "https://127.0.0.1:{tls}", Kind::Found,
        Outcome::Succeeded);
    // What the program itself does: the system's store alone.
    row("https, test authority not trusted", "https://127.0.0.1:{tls}", Kind::NoConnection,
        Outcome::ConnectionFailed, false);
    row("https from an unknown authority", "https://127.0.0.1:{untrusted}", Kind::NoConnection,
        Outcome::ConnectionFailed);
    row("https for another name", "https://127.0.0.1:{wrongName}", Kind::NoConnection,
        Outcome::ConnectionFailed);
    row("redirect from http to https", "http://127.0.0.1:{plain}/do-https", Kind::Found,
        Outcome::Succeeded);
    row("redirect from https to http refused", "https://127.0.0.1:{tls}/do-http", Kind::Unreadable,
        Outcome::ReadFailed);
    row("redirect to a path on the same server", "http://127.0.0.1:{plain}/tutaj", Kind::Found,
        Outcome::Succeeded);
    row("http through squid", "http://{name}:{plain}", Kind::Found, Outcome::Succeeded, true, true,
        "GET http://{name}:{plain}" + InstallerPath);
    row("https through squid", "https://{name}:{tls}", Kind::Found, Outcome::Succeeded, true, true,
        QStringLiteral("CONNECT {name}:{tls}"));
}

void UpdateServersTest::throughRealServers()
{
    QFETCH(QString, server);
    QFETCH(bool, trustTestCa);
    QFETCH(bool, viaProxy);
    QFETCH(int, checked);
    QFETCH(Outcome, downloaded);
    QFETCH(QString, proxyLog);
    if (trustTestCa) {
        QFile ca(path("ca.crt"));
        QVERIFY(ca.open(QIODevice::ReadOnly));
        update::setExtraTrustedCertificates(ca.readAll());
    }
    if (viaProxy) {
        const QByteArray proxy = "http://127.0.0.1:" + QByteArray::number(m_proxy);
        qputenv("http_proxy", proxy);
        qputenv("https_proxy", proxy);
    }
    const QString base = expand(server);

    QByteArray file;
    QCOMPARE(int(check(base + VersionPath, &file)), checked);
    if (checked == Kind::Found)
        QCOMPARE(file, versionFile(1, 1, 0));

    QByteArray saved;
    QCOMPARE(download(base + InstallerPath, &saved), downloaded);
    // A refused download leaves nothing behind.
    QCOMPARE(saved, downloaded == Outcome::Succeeded ? installerBytes() : "(no file)");

    if (!proxyLog.isEmpty()) {
        const QByteArray line = expand(proxyLog).toLatin1();
        auto logged = [this, &line] {
            QFile log(path("squid/access.log"));
            return log.open(QIODevice::ReadOnly) && log.readAll().contains(line);
        };
        QTRY_VERIFY_WITH_TIMEOUT(logged(), 5000);
    }
}

QTEST_GUILESS_MAIN(UpdateServersTest)
#include "test_update_servers.moc"
