// The listening server and the list of connected computers as the teacher
// sees them: the local host line, the rows that come and go with the
// connections, the selected computer and the lookup of its connection, and
// the reports of socket errors.
#include "support/consolefixture.h"

#include "storage/eventlog.h"

#include <QHash>
#include <QHeaderView>
#include <QHostAddress>
#include <QHostInfo>
#include <QLineEdit>
#include <QOperatingSystemVersion>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>

using platform::ConnectionPtr;
using platform::TcpServer;

namespace {

// Every entry of a test is written at this moment, so whole blocks of the
// day log can be compared byte for byte.
const QDateTime LogTime(QDate(2026, 3, 7), QTime(9, 5, 3));

QByteArray logBlock(const QByteArray &text)
{
    return "2026-03-07 09:05:03\r\nInfo: " + text + "\r\n----\r\n";
}

// The names the computers have in the name service of a test.
class NameService
{
public:
    NameService()
    {
        TcpServer::setHostNameResolver([this](const QByteArray &address) {
            if (gate)
                gate->acquire();
            return names.value(address);
        });
    }
    ~NameService() { TcpServer::setHostNameResolver({}); }
    QHash<QByteArray, QByteArray> names;
    // When set, each answer waits for one release: a slow name service.
    QSemaphore *gate = nullptr;
};

// A console whose log stands at LogTime, with the names of NameService.
class Console : public ConsoleFixture
{
public:
    Console()
    {
        eventlog::setClock([] { return LogTime; });
    }
    ~Console() { eventlog::setClock({}); }
    QByteArray log() const { return data.readLog(LogTime.date()); }
    QTreeView *list() { return main().RemoteComputersListView; }

    // A computer connecting from the given loopback address; listed, and
    // unless told otherwise, named.
    TestAgent *connectFrom(const char *address, bool waitForName = true)
    {
        auto agent = std::make_unique<TestAgent>();
        if (!agent->socket().bind(QHostAddress(QString::fromLatin1(address)), 0))
            return nullptr;
        const int before = listRows();
        if (!agent->connectTo(port()))
            return nullptr;
        if (!QTest::qWaitFor([&] { return listRows() > before; }, 5000))
            return nullptr;
        if (waitForName)
            ConsoleFixture::waitForName(agent->localPort());
        agents.push_back(std::move(agent));
        return agents.back().get();
    }

    // The rows as "address|name|port", in list order.
    QStringList rows()
    {
        QStringList out;
        for (int i = 0; i < listRows(); ++i)
            out << listText(i, 0) + u'|' + listText(i, 1) + u'|' + listText(i, 2);
        return out;
    }
    QStringList addresses()
    {
        QStringList out;
        for (int i = 0; i < listRows(); ++i)
            out << listText(i, 0);
        return out;
    }
    QString selected()
    {
        return main().RemoteIPEdit->text() + u'|' + main().RemoteNameEdit->text() + u'|'
               + main().RemotePortEdit->text();
    }
};

QString row(const char *address, const char *name, quint16 port)
{
    return QString::fromLatin1(address) + u'|' + QString::fromLatin1(name) + u'|'
           + QString::number(port);
}

} // namespace

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
    void connectionErrorReportsThenCloses_data();
    void connectionErrorReportsThenCloses();
    void listeningSocketError_data();
    void listeningSocketError();
    void highlightedRowIsTheSelectedComputer_data();
    void highlightedRowIsTheSelectedComputer();
    void clickWithoutSelectionLeavesFields_data();
    void clickWithoutSelectionLeavesFields();
    void findSelectedConnection_data();
    void findSelectedConnection();
    void failedConnectionIsNotFound();
    void refusedConnection_data();
    void refusedConnection();
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

void RegistryTest::connectionErrorReportsThenCloses_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("10054") << 10054;
    QTest::newRow("10053") << 10053;
    QTest::newRow("negative") << -1;
}

void RegistryTest::connectionErrorReportsThenCloses()
{
    QFETCH(int, code);
    NameService names;
    Console console;
    console.start();
    TestAgent *other = console.connectFrom("127.0.0.2");
    TestAgent *failing = console.connectFrom("127.0.0.8");
    QVERIFY(other && failing);
    TFMain &main = console.main();
    const ConnectionPtr c = main.classroom().MyServer->connection(1);
    QCOMPARE(c->peerAddress(), QByteArray("127.0.0.8"));

    QSignalSpy shown(main.StatusEdit, &QLineEdit::textChanged);
    int reported = code;
    main.classroom().MyServerClientError(c, reported);
    QCOMPARE(reported, 0);
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown[0][0].toString(), QStringLiteral("error, code nr: ") + QString::number(code));
    QCOMPARE(shown[1][0].toString(), QStringLiteral("Rozłączono z 127.0.0.8"));
    QCOMPARE(main.StatusEdit->text(), QStringLiteral("Rozłączono z 127.0.0.8"));
    // The row went within the handler; the error text itself is not logged.
    QCOMPARE(console.addresses(), QStringList{"127.0.0.2"});
    QVERIFY(console.log().endsWith(logBlock("Roz\xb3\xb9"
                                            "czono z 127.0.0.8")));
    QVERIFY(!console.log().contains("error, code nr"));
    QVERIFY(!c->isOpen());
    QTRY_VERIFY(!failing->isConnected());
    QVERIFY(other->isConnected());
}

void RegistryTest::listeningSocketError_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("10048") << 10048 << QStringLiteral("ERROR: błąd nr10048")
                           << QByteArray("ERROR: b\xb3\xb9"
                                         "d nr10048");
    QTest::newRow("negative") << -22 << QStringLiteral("ERROR: błąd nr-22")
                              << QByteArray("ERROR: b\xb3\xb9"
                                            "d nr-22");
    QTest::newRow("zero") << 0 << QStringLiteral("ERROR: błąd nr0")
                          << QByteArray("ERROR: b\xb3\xb9"
                                        "d nr0");
}

void RegistryTest::listeningSocketError()
{
    QFETCH(int, code);
    QFETCH(QString, status);
    QFETCH(QByteArray, logged);
    Console console;
    console.start();
    int reported = code;
    console.main().classroom().ServerSocketError(reported);
    QCOMPARE(reported, 0);
    QCOMPARE(console.main().StatusEdit->text(), status);
    QVERIFY(console.log().endsWith(logBlock(logged)));
    // The server listens on.
    QVERIFY(console.main().classroom().MyServer->isListening());
    QVERIFY(console.connectFrom("127.0.0.1"));
}

void RegistryTest::highlightedRowIsTheSelectedComputer_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("a mouse click") << "click";
    QTest::newRow("the arrow key") << "down";
    QTest::newRow("type-ahead") << "type";
    QTest::newRow("Enter") << "enter";
}

// However the teacher reaches a row, its computer is the one the fields show
// and the commands go to; it stays chosen while others come, and after it
// has gone the fields still show it and a command finds nothing.
void RegistryTest::highlightedRowIsTheSelectedComputer()
{
    QFETCH(QString, way);
    NameService names;
    names.names["127.0.0.2"] = "SALA-2";
    names.names["127.0.0.7"] = "SALA-7";
    Console console;
    console.start();
    TestAgent *b = console.connectFrom("127.0.0.2");
    TestAgent *a = console.connectFrom("127.0.0.7");
    QVERIFY(a && b);
    TFMain &main = console.main();
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    QTreeView *list = console.list();
    list->setFocus();
    if (way == u"click") {
        const QRect rect = list->visualRect(list->model()->index(1, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    } else if (way == u"down") {
        console.selectRow(0);
        QTest::keyClick(list, Qt::Key_Down);
    } else if (way == u"type") {
        list->keyboardSearch(QStringLiteral("127.0.0.7"));
    } else {
        list->setCurrentIndex(list->model()->index(1, 0));
        QTest::keyClick(list, Qt::Key_Return);
    }
    QCOMPARE(list->currentIndex().row(), 1);
    QCOMPARE(console.selected(), row("127.0.0.7", "SALA-7", a->localPort()));
    QVERIFY(main.FindSelectedConnection());
    QCOMPARE(main.classroom().CurrentSocket->peerPort(), a->localPort());

    // Rows added after the choice do not change it.
    QVERIFY(console.connectFrom("127.0.0.1"));
    QCOMPARE(console.selected(), row("127.0.0.7", "SALA-7", a->localPort()));
    QVERIFY(main.FindSelectedConnection());
    QCOMPARE(main.classroom().CurrentSocket->peerPort(), a->localPort());

    // After the computer has gone, the fields still show it and no other
    // row is taken for it.
    const quint16 gonePort = a->localPort();
    a->close();
    QTRY_COMPARE(main.classroom().MyServer->activeConnections(), 2);
    QCOMPARE(console.selected(), row("127.0.0.7", "SALA-7", gonePort));
    QVERIFY(!main.FindSelectedConnection());
    QCOMPARE(main.classroom().selected(), nullptr);
}

void RegistryTest::clickWithoutSelectionLeavesFields_data()
{
    QTest::addColumn<bool>("keepCurrentItem");
    QTest::newRow("no current row") << false;
    QTest::newRow("current row not selected") << true;
}

void RegistryTest::clickWithoutSelectionLeavesFields()
{
    QFETCH(bool, keepCurrentItem);
    NameService names;
    Console console;
    console.start();
    QVERIFY(console.connectFrom("127.0.0.2"));
    QVERIFY(console.connectFrom("127.0.0.3"));
    console.selectRow(0);
    const QString chosen = console.selected();
    QVERIFY(chosen.startsWith(QLatin1String("127.0.0.2|")));

    QTreeView *list = console.list();
    if (keepCurrentItem) {
        list->selectionModel()->setCurrentIndex(list->model()->index(1, 0),
                                                QItemSelectionModel::NoUpdate);
        list->clearSelection();
    } else {
        list->setCurrentIndex({});
        list->clearSelection();
    }
    console.main().RemoteComputersListViewClick();
    QCOMPARE(console.selected(), chosen);
}

void RegistryTest::findSelectedConnection_data()
{
    QTest::addColumn<QString>("selected");  // "row N", "left" or "none"
    QTest::addColumn<int>("expectedIndex"); // of the connections accepted; -1: none

    QTest::newRow("first row") << "row 0" << 0;
    QTest::newRow("last row") << "row 2" << 2;
    QTest::newRow("the first of two from one address") << "row 3" << 3;
    QTest::newRow("the second of two from one address") << "row 4" << 4;
    QTest::newRow("a computer that has left") << "left" << -1;
    QTest::newRow("nothing chosen yet") << "none" << -1;
}

// The row chosen is the computer the command goes to, in constant time,
// whatever other connections share its address; a computer that has left
// leaves CurrentSocket as it was.
void RegistryTest::findSelectedConnection()
{
    QFETCH(QString, selected);
    QFETCH(int, expectedIndex);
    NameService names;
    Console console;
    console.start();
    for (const char *address : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.5"})
        QVERIFY(console.connectFrom(address));
    TestAgent *leaving = console.connectFrom("127.0.0.6");
    QVERIFY(leaving);
    TFMain &main = console.main();
    auto connection = [&](int i) {
        return main.classroom().MyServer->connection(i);
    };

    if (selected.startsWith(u"row"))
        console.selectRow(selected.section(u' ', 1).toInt());
    if (selected == u"left") {
        console.selectRow(5);
        leaving->close();
        QTRY_COMPARE(console.listRows(), 5);
    }
    const ConnectionPtr before = connection(1);
    main.classroom().CurrentSocket = before;
    const bool found = main.FindSelectedConnection();
    QCOMPARE(found, expectedIndex >= 0);
    QCOMPARE(main.classroom().CurrentSocket,
             expectedIndex >= 0 ? connection(expectedIndex) : before);
}

void RegistryTest::failedConnectionIsNotFound()
{
    NameService names;
    Console console;
    console.start();
    TestAgent *agent = console.connectFrom("127.0.0.6");
    QVERIFY(agent);
    TFMain &main = console.main();
    console.selectRow(0);
    QVERIFY(main.FindSelectedConnection());
    const ConnectionPtr failed = main.classroom().CurrentSocket;

    // The computer resets, and a send finds out before the error is handled:
    // still listed, no longer open.
    agent->abort();
    qint64 n = 0;
    for (int i = 0; i < 100 && n >= 0; ++i)
        n = failed->send("x", 1);
    QCOMPARE(n, qint64(-1));
    QCOMPARE(main.classroom().MyServer->activeConnections(), 1);
    main.classroom().CurrentSocket.reset();
    QVERIFY(!main.FindSelectedConnection());
    QVERIFY(!main.classroom().CurrentSocket);

    // The error is handled from the event loop: the row goes as at any
    // disconnect, with the address the connection had.
    QTRY_COMPARE(console.listRows(), 0);
    QCOMPARE(main.StatusEdit->text(), QStringLiteral("Rozłączono z 127.0.0.6"));
    QCOMPARE(main.classroom().MyServer->activeConnections(), 0);
}

void RegistryTest::refusedConnection_data()
{
    QTest::addColumn<QStringList>("listed"); // connected first
    QTest::addColumn<int>("total");          // 0: from the open-file limit
    QTest::addColumn<QString>("refusedFrom");
    QTest::newRow("a fifth from one address")
            << QStringList{"127.0.0.5", "127.0.0.5", "127.0.0.5", "127.0.0.5"} << 0
            << QStringLiteral("127.0.0.5");
    QTest::newRow("one over the total")
            << QStringList{"127.0.0.5", "127.0.0.6"} << 2 << QStringLiteral("127.0.0.7");
}

// A connection over a cap leaves no row and asks no one for a name; the
// teacher is told, and the log gets one entry a minute per address however
// many are refused.
void RegistryTest::refusedConnection()
{
    if (QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows)
        QSKIP("under Wine a reset is never reported to the Windows socket it ends (an orderly "
              "close is), so the refused agent cannot see its end; a Linux peer sees the reset");
    QFETCH(QStringList, listed);
    QFETCH(int, total);
    QFETCH(QString, refusedFrom);
    NameService names;
    Console console;
    console.start();
    TcpServer &server = *console.main().classroom().MyServer;
    server.setConnectionLimits(TcpServer::ConnectionsPerAddress, total);
    qint64 now = 5000000;
    server.setClock([&] { return now; });
    for (const QString &address : listed)
        QVERIFY(console.connectFrom(address.toLatin1().constData()));
    const QStringList rowsBefore = console.rows();

    QList<QByteArray> asked;
    TcpServer::setHostNameResolver([&](const QByteArray &address) {
        asked << address;
        return QByteArray();
    });
    std::vector<std::unique_ptr<TestAgent>> refused;
    auto refuse = [&] {
        refused.push_back(std::make_unique<TestAgent>());
        TestAgent &agent = *refused.back();
        agent.socket().bind(QHostAddress(refusedFrom), 0);
        agent.connectTo(console.port());
        return QTest::qWaitFor([&] { return !agent.isConnected(); }, 5000);
    };
    const QByteArray entry = logBlock("Odrzucono po\xb3\xb9"
                                      "czenie z "
                                      + refusedFrom.toLatin1()
                                      + ": za du\xbfo po\xb3\xb9"
                                        "cze\xf1");
    QVERIFY(refuse());
    QCOMPARE(console.main().StatusEdit->text(), QStringLiteral("Odrzucono połączenie z ")
                                                        + refusedFrom
                                                        + QStringLiteral(": za dużo połączeń"));
    QVERIFY(console.log().endsWith(entry));

    now += TcpServer::RefusalReportIntervalMs - 1;
    QVERIFY(refuse());
    QVERIFY(refuse());
    QCOMPARE(console.log().count(entry), 1);
    now += 1;
    QVERIFY(refuse());
    QCOMPARE(console.log().count(entry), 2);

    QCOMPARE(console.rows(), rowsBefore);
    QCOMPARE(server.activeConnections(), listed.size());
    QVERIFY(asked.isEmpty());
    QCOMPARE(console.log().count(logBlock("Po\xb3\xb9"
                                          "czono z "
                                          + refusedFrom.toLatin1())),
             listed.count(refusedFrom));
}

QTEST_MAIN(RegistryTest)
#include "test_registry.moc"
