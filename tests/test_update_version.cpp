// The version record, its comparison, the version file's bytes and the
// choice of the vendor's server address.
#include "support/httpserver.h"
#include "support/tempdata.h"
#include "update/updatehost.h"
#include "update/version.h"

#include <QTest>

using update::Version;

Q_DECLARE_METATYPE(Version)
Q_DECLARE_METATYPE(std::optional<Version>)

class UpdateVersionTest : public QObject
{
    Q_OBJECT
private slots:
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
        QTest::newRow("8 bytes") << versionFile(1, 1, 0).left(8) << std::optional<Version>();
        QTest::newRow("11 bytes") << versionFile(1, 1, 0).left(11) << std::optional<Version>();
        QTest::newRow("empty") << QByteArray() << std::optional<Version>();
    }
    void versionFileBytes()
    {
        QFETCH(QByteArray, file);
        QFETCH(std::optional<Version>, version);
        QCOMPARE(update::parseVersionFile(file), version);
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
};

QTEST_GUILESS_MAIN(UpdateVersionTest)
#include "test_update_version.moc"
