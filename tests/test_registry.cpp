// The listening server and the list of connected computers as the teacher
// sees them: the local host line and the rows that come and go with the
// connections and their names. The selected computer is in test_selection,
// socket errors and refused connections in test_connectionerrors.
#include "support/listconsole.h"

#include <QHeaderView>
#include <QHostInfo>
#include <QLineEdit>
#include <QOperatingSystemVersion>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>

using namespace listconsole;
using platform::ConnectionPtr;
using platform::TcpServer;

class RegistryTest : public QObject
{
    Q_OBJECT
private slots:
    void localHostLineAndServerStart();
    void busyPortLeavesNoStartReport();
    void rowPerConnection();
    void rowsSortByAddressText_data();
    void rowsSortByAddressText();
    void disconnectRemovesRow_data();
    void disconnectRemovesRow();
    void disconnectOfOneOfTwoSameAddressRows_data();
    void disconnectOfOneOfTwoSameAddressRows();
    void nameLookupDecidesRemoval_data();
    void nameLookupDecidesRemoval();
};

void RegistryTest::localHostLineAndServerStart()
{
    Console console;
    // A port of its own that is free now, so the line can name it.
    quint16 port = 0;
    {
        TcpServer probe;
        QVERIFY(probe.listen(0));
        port = probe.localPort();
    }
    Classroom::listenPortOverride = port;
    console.start();
    TFMain &main = console.main();
    QCOMPARE(main.classroom().MyServer->localPort(), port);
    QCOMPARE(main.classroom().ServerPort, quint32(port));

    const QString name = QHostInfo::localHostName();
    QCOMPARE(main.classroom().LocalHostName, name.toLatin1());
    // The first IPv4 address the name resolves to, whichever that is here.
    QStringList candidates;
    for (const QHostAddress &a : QHostInfo::fromName(name).addresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol)
            candidates << a.toString();
    }
    if (candidates.isEmpty())
        QCOMPARE(main.classroom().LocalIP, QByteArray());
    else
        QVERIFY2(candidates.contains(QString::fromLatin1(main.classroom().LocalIP)),
                 main.classroom().LocalIP.constData());

    QCOMPARE(main.StatusBar->currentMessage(),
             QStringLiteral("Nazwa lokalnego komputera: ") + name + QStringLiteral(", adres IP: ")
                     + QString::fromLatin1(main.classroom().LocalIP) + QStringLiteral(", port: ")
                     + QString::number(port));

    QCOMPARE(main.StatusEdit->text(),
             QStringLiteral("Serwer uruchomiony, czekam na połączenia..."));
    QVERIFY(console.log().contains(logBlock("serwer uruchomiony, oczekiwanie na po\xb3\xb9"
                                            "czenia")));
}

void RegistryTest::busyPortLeavesNoStartReport()
{
    TcpServer holder;
    QVERIFY(holder.listen(0));
    Console console;
    Classroom::listenPortOverride = holder.localPort();
    console.main().ShowLocalHostInfo();
    QVERIFY_THROWS_EXCEPTION(SocketError, console.main().StartServer());
    QCOMPARE(console.main().StatusEdit->text(), QString());
    QVERIFY(!console.log().contains("serwer uruchomiony"));
}

void RegistryTest::rowPerConnection()
{
    NameService names;
    names.names["127.0.0.1"] = "SALA-1";
    names.names["127.0.0.4"] = "SALA-4";
    Console console;
    console.start();

    TestAgent *first = console.connectFrom("127.0.0.4");
    QVERIFY(first);
    QCOMPARE(console.main().StatusEdit->text(), QStringLiteral("Połączono z 127.0.0.4"));
    TestAgent *second = console.connectFrom("127.0.0.1");
    QVERIFY(second);
    QCOMPARE(console.main().StatusEdit->text(), QStringLiteral("Połączono z 127.0.0.1"));
    // A computer whose address has no name gets an empty name column.
    TestAgent *third = console.connectFrom("127.0.0.6");
    QVERIFY(third);

    QCOMPARE(console.rows(), (QStringList{row("127.0.0.1", "SALA-1", second->localPort()),
                                          row("127.0.0.4", "SALA-4", first->localPort()),
                                          row("127.0.0.6", "", third->localPort())}));
    const QByteArray log = console.log();
    QVERIFY(log.contains(logBlock("Po\xb3\xb9"
                                  "czono z 127.0.0.4")
                         + logBlock("Po\xb3\xb9"
                                    "czono z 127.0.0.1")
                         + logBlock("Po\xb3\xb9"
                                    "czono z 127.0.0.6")));
}

void RegistryTest::rowsSortByAddressText_data()
{
    QTest::addColumn<QStringList>("connectOrder");
    QTest::addColumn<QStringList>("listOrder");
    // Header sections the teacher clicks once the computers are listed.
    QTest::addColumn<QList<int>>("headerClicks");
    const QStringList sorted{"127.0.0.10", "127.0.0.2", "127.0.0.9"};
    const QStringList arrival{"127.0.0.9", "127.0.0.10", "127.0.0.2"};
    QTest::newRow("9, 10, 2") << arrival << sorted << QList<int>{};
    QTest::newRow("2, 9, 10") << QStringList{"127.0.0.2", "127.0.0.9", "127.0.0.10"} << sorted
                              << QList<int>{};
    QTest::newRow("10, 2, 9") << QStringList{"127.0.0.10", "127.0.0.2", "127.0.0.9"} << sorted
                              << QList<int>{};
    QTest::newRow("prefixes first")
            << QStringList{"127.0.0.100", "127.0.0.2", "127.0.0.1", "127.0.0.10"}
            << QStringList{"127.0.0.1", "127.0.0.10", "127.0.0.100", "127.0.0.2"} << QList<int>{};
    QTest::newRow("other subnets")
            << QStringList{"127.0.10.1", "127.0.9.1", "127.1.0.1"}
            << QStringList{"127.0.10.1", "127.0.9.1", "127.1.0.1"} << QList<int>{};
    // The names run against the addresses, and two clicks would reverse any
    // order a click set.
    QTest::newRow("clicks on Nazwa komputera") << arrival << sorted << QList<int>{1, 1};
    QTest::newRow("clicks on Port") << arrival << sorted << QList<int>{2, 2};
    QTest::newRow("a click on Adres IP") << arrival << sorted << QList<int>{0};
}

void RegistryTest::rowsSortByAddressText()
{
    QFETCH(QStringList, connectOrder);
    QFETCH(QStringList, listOrder);
    QFETCH(QList<int>, headerClicks);
    NameService names;
    for (int i = 0; i < connectOrder.size(); ++i)
        names.names[connectOrder[i].toLatin1()] = "SALA-" + QByteArray::number(9 - i);
    Console console;
    console.start();
    for (const QString &address : connectOrder)
        QVERIFY(console.connectFrom(address.toLatin1().constData()));

    console.main().show();
    QVERIFY(QTest::qWaitForWindowExposed(&console.main()));
    QHeaderView *header = console.list()->header();
    for (int section : headerClicks) {
        const QPoint middle(header->sectionViewportPosition(section)
                                    + header->sectionSize(section) / 2,
                            header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, middle);
        QCoreApplication::processEvents(); // a re-sort may be queued
        QCOMPARE(console.addresses(), listOrder);
    }
    QCOMPARE(console.addresses(), listOrder);
}

void RegistryTest::disconnectRemovesRow_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("computer closes") << QStringLiteral("close");
    QTest::newRow("computer resets") << QStringLiteral("reset");
    QTest::newRow("console closes") << QStringLiteral("console");
}

void RegistryTest::disconnectRemovesRow()
{
    QFETCH(QString, how);
    NameService names;
    names.names["127.0.0.5"] = "SALA-5";
    names.names["127.0.0.2"] = "SALA-2";
    Console console;
    console.start();
    TestAgent *staying = console.connectFrom("127.0.0.2");
    TestAgent *leaving = console.connectFrom("127.0.0.5");
    QVERIFY(staying && leaving);

    if (how == QLatin1String("close")) {
        leaving->close();
    } else if (how == QLatin1String("reset")) {
        leaving->abort();
    } else {
        TFMain &main = console.main();
        ConnectionPtr c = main.classroom().MyServer->connection(1);
        QCOMPARE(c->peerAddress(), QByteArray("127.0.0.5"));
        c->close();
        // Handled before the close returned.
        QCOMPARE(console.listRows(), 1);
    }
    QTRY_COMPARE(console.rows(), QStringList{row("127.0.0.2", "SALA-2", staying->localPort())});
    QCOMPARE(console.main().StatusEdit->text(), QStringLiteral("Rozłączono z 127.0.0.5"));
    QVERIFY(console.log().endsWith(logBlock("Roz\xb3\xb9"
                                            "czono z 127.0.0.5")));
    QCOMPARE(console.main().classroom().MyServer->activeConnections(), 1);
}

void RegistryTest::disconnectOfOneOfTwoSameAddressRows_data()
{
    QTest::addColumn<int>("computers");
    QTest::newRow("two rows") << 2;
    QTest::newRow("three rows") << 3;
}

void RegistryTest::disconnectOfOneOfTwoSameAddressRows()
{
    QFETCH(int, computers);
    NameService names;
    names.names["127.0.0.1"] = "SALA-1";
    Console console;
    console.start();
    QList<TestAgent *> agents;
    for (int i = 0; i < computers; ++i) {
        agents.append(console.connectFrom("127.0.0.1"));
        QVERIFY(agents.last());
    }
    QCOMPARE(console.listRows(), computers);

    // The computer of the last row goes, and only its row: the rows of the
    // others from its address and name stay.
    QStringList left;
    for (int i = 0; i < computers - 1; ++i)
        left << row("127.0.0.1", "SALA-1", console.listText(i, 2).toUShort());
    const quint16 lastRowPort = console.listText(computers - 1, 2).toUShort();
    TestAgent *leaving = nullptr;
    for (TestAgent *agent : agents) {
        if (agent->localPort() == lastRowPort)
            leaving = agent;
    }
    QVERIFY(leaving);
    leaving->close();
    QTRY_COMPARE(console.listRows(), computers - 1);
    QCOMPARE(console.rows(), left);
    QCOMPARE(console.main().StatusEdit->text(), QStringLiteral("Rozłączono z 127.0.0.1"));
}

void RegistryTest::nameLookupDecidesRemoval_data()
{
    QTest::addColumn<QByteArray>("nameAtConnect");
    QTest::addColumn<QString>("shownName");
    QTest::addColumn<QByteArray>("nameAtDisconnect");
    QTest::newRow("same name") << QByteArray("SALA-3") << QStringLiteral("SALA-3")
                               << QByteArray("SALA-3");
    QTest::newRow("name vanishes")
            << QByteArray("SALA-3") << QStringLiteral("SALA-3") << QByteArray();
    QTest::newRow("name changes") << QByteArray("SALA-3") << QStringLiteral("SALA-3")
                                  << QByteArray("SALA-4");
    QTest::newRow("name appears") << QByteArray() << QString() << QByteArray("SALA-3");
    QTest::newRow("no name either time") << QByteArray() << QString() << QByteArray();
    QTest::newRow("Windows-1250 name") << QByteArray("PRACOWNIA-\xa3\xd3"
                                                     "D\x8f")
                                       << QStringLiteral("PRACOWNIA-ŁÓDŹ")
                                       << QByteArray("PRACOWNIA-\xa3\xd3"
                                                     "D\x8f");
    QTest::newRow("name with placeholders")
            << QByteArray("SALA-%1%2") << QStringLiteral("SALA-%1%2") << QByteArray("SALA-%1%2");
}

// The row shows the address at once and the name once the name service
// has answered; it leaves with its connection whatever the name service
// says by then.
void RegistryTest::nameLookupDecidesRemoval()
{
    QFETCH(QByteArray, nameAtConnect);
    QFETCH(QString, shownName);
    QFETCH(QByteArray, nameAtDisconnect);
    NameService names;
    QSemaphore gate;
    names.gate = &gate;
    names.names["127.0.0.3"] = nameAtConnect;
    Console console;
    console.start();
    TestAgent *agent = console.connectFrom("127.0.0.3", false);
    QVERIFY(agent);
    const QString port = QString::number(agent->localPort());
    QCOMPARE(console.rows(), QStringList{QStringLiteral("127.0.0.3||") + port});
    gate.release();
    console.waitForName(agent->localPort());
    QCOMPARE(console.rows(), QStringList{QStringLiteral("127.0.0.3|") + shownName + u'|' + port});

    names.gate = nullptr;
    names.names["127.0.0.3"] = nameAtDisconnect;
    agent->close();
    QTRY_COMPARE(console.main().classroom().MyServer->activeConnections(), 0);
    QCOMPARE(console.main().StatusEdit->text(), QStringLiteral("Rozłączono z 127.0.0.3"));
    QCOMPARE(console.rows(), QStringList());
}

QTEST_MAIN(RegistryTest)
#include "test_registry.moc"
