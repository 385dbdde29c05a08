// Powering the room on: hardware addresses read from a neighbour table, the
// list kept in the data folder (bounded, a damaged one put aside), and the
// magic packets a listener on loopback receives for a computer that left.
#include "commands/poweron.h"
#include "link/classroom.h"
#include "platform/neighbours.h"
#include "storage/wakelist.h"
#include "support/tempdata.h"
#include "support/testagent.h"

#include <QDir>
#include <QHostAddress>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>
#include <QUdpSocket>

#include <sched.h>
#include <unistd.h>

namespace {

const QByteArray ArpHeader
        = "IP address       HW type     Flags       HW address            Mask     Device\n";
const QByteArray Mac = QByteArray::fromHex("02005e100001");

wakelist::Entry entry(int n, const QDateTime &seen)
{
    QByteArray mac = Mac;
    mac[4] = char(n >> 8);
    mac[5] = char(n);
    return {mac, QStringLiteral("10.0.%1.%2").arg(n / 250).arg(n % 250 + 1),
            QStringLiteral("10.0.255.255"), seen, QStringLiteral("SALA-%1").arg(n)};
}

QStringList names(const QList<wakelist::Entry> &entries)
{
    QStringList out;
    for (const wakelist::Entry &e : entries)
        out << e.name;
    return out;
}

// Runs a command to its end; false (with its output in error) when it fails.
bool run(const QStringList &command, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    const bool ok = process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit
                    && process.exitCode() == 0;
    if (!ok)
        *error = command.join(u' ') + QStringLiteral(": ")
                 + QString::fromLocal8Bit(process.readAll());
    return ok;
}

// A student in a network namespace of its own: it connects to the console,
// closes when told on its standard input, then prints in hex the first
// datagram that reaches its port 9.
const char *StudentScript = R"(
import socket, sys
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.bind(("0.0.0.0", 9))
tcp = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=10)
print("connected", flush=True)
sys.stdin.readline()
tcp.close()
udp.settimeout(20)
data, peer = udp.recvfrom(2048)
print(data.hex(), flush=True)
)";

} // namespace

class PowerOnTest : public QObject
{
    Q_OBJECT
private slots:
    void neighbourTable_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("hardware"); // empty: not found
        QTest::addColumn<QString>("interfaceName");
        QTest::newRow("complete") << QByteArray("10.0.0.5 0x1 0x2 02:00:5e:10:00:01 * eth0")
                                  << Mac << "eth0";
        QTest::newRow("kept by hand") << QByteArray("10.0.0.5 0x1 0x6 02:00:5E:10:00:01 * br0")
                                      << Mac << "br0";
        QTest::newRow("incomplete") << QByteArray("10.0.0.5 0x1 0x0 00:00:00:00:00:00 * eth0")
                                    << QByteArray() << "";
        QTest::newRow("zero address flagged complete")
                << QByteArray("10.0.0.5 0x1 0x2 00:00:00:00:00:00 * eth0") << QByteArray() << "";
        QTest::newRow("another address") << QByteArray("10.0.0.50 0x1 0x2 02:00:5e:10:00:01 * eth0")
                                         << QByteArray() << "";
        QTest::newRow("short hardware address")
                << QByteArray("10.0.0.5 0x1 0x2 02:00:5e:10 * eth0") << QByteArray() << "";
        QTest::newRow("no device") << QByteArray("10.0.0.5 0x1 0x2 02:00:5e:10:00:01 *")
                                   << QByteArray() << "";
    }

    void neighbourTable()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, hardware);
        QFETCH(QString, interfaceName);
        const auto found = platform::neighbourInArpTable(
                ArpHeader + "10.0.0.9 0x1 0x2 02:00:5e:99:99:99 * eth1\n" + line + "\n",
                QStringLiteral("10.0.0.5"));
        QCOMPARE(found.has_value(), !hardware.isEmpty());
        if (found) {
            QCOMPARE(found->hardwareAddress, hardware);
            QCOMPARE(found->interfaceName, interfaceName);
        }
    }

    // Written and read back exactly; a class of 1000 at most, the one seen
    // longest ago going first; one entry per machine.
    void listKeptAndBounded()
    {
        TempDataHome data;
        const QString folder = data.dataFolder();
        QVERIFY(QDir().mkpath(folder));
        const QDateTime start(QDate(2026, 12, 10), QTime(8, 0, 0));
        QList<wakelist::Entry> list;
        for (int n = 0; n <= wakelist::MaxEntries; ++n)
            list = wakelist::remember(list, entry(n, start.addSecs(n)));
        QCOMPARE(list.size(), wakelist::MaxEntries);
        QCOMPARE(list.first().name, QStringLiteral("SALA-1"));
        // The same machine under a new name, and a name that took another machine.
        wakelist::Entry renamed = entry(5, start.addSecs(5000));
        renamed.name = QStringLiteral("PRACOWNIA;Ż\r\n");
        list = wakelist::remember(list, renamed);
        list = wakelist::remember(list, entry(7000, start.addSecs(5001)));
        list.last().name = QStringLiteral("SALA-9");
        list = wakelist::remember(list, list.last());
        QCOMPARE(list.size(), wakelist::MaxEntries - 1);
        QCOMPARE(names(list).count(QStringLiteral("SALA-9")), 1);
        QCOMPARE(names(list).count(QStringLiteral("SALA-5")), 0);

        QVERIFY(wakelist::save(folder, list));
        const wakelist::Loaded loaded = wakelist::load(folder);
        QCOMPARE(loaded.error, QString());
        QCOMPARE(loaded.entries.size(), list.size());
        QCOMPARE(names(loaded.entries).mid(0, list.size() - 2), names(list).mid(0, list.size() - 2));
        // A line break in a name would make two lines of one entry.
        QCOMPARE(loaded.entries.at(list.size() - 2).name, QStringLiteral("PRACOWNIA;Ż  "));
        QCOMPARE(loaded.entries.first().hardwareAddress, list.first().hardwareAddress);
        QCOMPARE(loaded.entries.first().seen, list.first().seen);
        QCOMPARE(loaded.entries.first().broadcast, QStringLiteral("10.0.255.255"));
        QVERIFY(data.readFile(wakelist::FileName).startsWith("DOCENTOR KOMPUTERY 1\r\n"));
    }

    void damagedListPutAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QByteArray header = "DOCENTOR KOMPUTERY 1\r\n";
        const QByteArray good = "02:00:5E:10:00:01;10.0.0.5;10.0.0.255;2026-12-10T08:00:00;SALA-1\r\n";
        QTest::newRow("unknown first line") << QByteArray("KOMPUTERY\r\n") + good;
        QTest::newRow("a line that is no entry") << header + good + "cokolwiek\r\n";
        QTest::newRow("bad hardware address")
                << header + "02:00:5E:10:00;10.0.0.5;;2026-12-10T08:00:00;SALA-1\r\n";
        QTest::newRow("bad address") << header
                                            + "02:00:5E:10:00:01;10.0.0.500;;2026-12-10T08:00:00;A\r\n";
        QTest::newRow("bad time") << header + "02:00:5E:10:00:01;10.0.0.5;;wczoraj;SALA-1\r\n";
        QTest::newRow("a class too large") << header + good.repeated(wakelist::MaxEntries + 1);
        QTest::newRow("binary") << QByteArray(300 * 1024, '\x01');
    }

    // Never used nor overwritten: renamed aside whole, with a message that
    // says where; the next list starts anew beside it.
    void damagedListPutAside()
    {
        QFETCH(QByteArray, content);
        TempDataHome data;
        const QString folder = data.dataFolder();
        QVERIFY(QDir().mkpath(folder));
        data.writeFile(wakelist::FileName, content);

        const wakelist::Loaded loaded = wakelist::load(folder);
        QVERIFY(loaded.entries.isEmpty());
        const QStringList aside = QDir(folder).entryList({"komputery.txt.uszkodzony-*"});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(data.readFile(aside.first()), content);
        QCOMPARE(loaded.error,
                 QStringLiteral("Lista komputerów do włączania „%1/komputery.txt” jest uszkodzona. "
                                "Odłożono ją jako „%1/%2”; konsola zaczyna nową listę.")
                         .arg(folder, aside.first()));

        QVERIFY(wakelist::save(folder, {entry(1, QDateTime::currentDateTime())}));
        QCOMPARE(wakelist::load(folder).entries.size(), 1);
        QCOMPARE(data.readFile(aside.first()), content);
    }

    // A student connects from 127.0.0.31: its hardware address is learnt
    // (from a table given here: loopback has none) and kept. While it is
    // connected nothing is sent; once it has left, a listener at its last
    // address receives the magic packet, and the log says so.
    void learnsAndWakesOnLoopback()
    {
        TempDataHome data;
        Classroom::listenPortOverride = 0;
        Classroom classroom;
        classroom.StartServer();
        commands::PowerOn power(classroom);
        power.setLookup([](const QString &address) {
            return platform::neighbourInArpTable(
                    ArpHeader + "127.0.0.31 0x1 0x2 02:00:5e:10:00:01 * lo\n", address);
        });
        QUdpSocket listener;
        QVERIFY(listener.bind(QHostAddress(QStringLiteral("127.0.0.31")), 0));
        const quint16 oldPort = std::exchange(commands::PowerOn::wakePort, listener.localPort());

        {
            TestAgent agent;
            QVERIFY(agent.socket().bind(QHostAddress(QStringLiteral("127.0.0.31")), 0));
            QVERIFY(agent.connectTo(classroom.MyServer->localPort()));
            QTRY_COMPARE(power.known().size(), 1);
            QCOMPARE(power.known().first().hardwareAddress, Mac);
            QCOMPARE(power.known().first().address, QStringLiteral("127.0.0.31"));
            QCOMPARE(wakelist::load(data.dataFolder()).entries.size(), 1);
            QCOMPARE(power.wakeAbsent(), 0);
            agent.close();
        }
        QTRY_VERIFY(classroom.computers().empty());

        QCOMPARE(power.wakeAbsent(), 1);
        QVERIFY(listener.waitForReadyRead(5000));
        QByteArray packet(listener.pendingDatagramSize(), '\0');
        listener.readDatagram(packet.data(), packet.size());
        QCOMPARE(packet.size(), 102);
        QCOMPARE(packet, QByteArray(6, '\xFF') + Mac.repeated(16));
        QVERIFY(data.readLog().contains(
                "Info: W\xB3\xB9" "czanie komputera 127.0.0.31 (127.0.0.31, 02:00:5E:10:00:01): "
                "wys\xB3" "ano sygna\xB3\r\n"));
        commands::PowerOn::wakePort = oldPort;
        Classroom::listenPortOverride = -1;
    }

    // Last: the test's own process moves into a network namespace made
    // here, with a veth pair to a second one where the student stands; the
    // machine's own network is never touched. The hardware address comes
    // from the system's real neighbour table, the packet goes to the
    // broadcast address of the console's side and to the student's address.
    void wakesAcrossAVethPair()
    {
        if (::geteuid() != 0)
            QSKIP("network namespaces need root here (a user namespace cannot be made by a "
                  "process that already runs threads); the loopback test covers the rest");
        if (::unshare(CLONE_NEWNET) != 0)
            QSKIP("this machine allows no new network namespace");
        const QString student = QStringLiteral("docentor-wake-%1").arg(::getpid());
        const QString ip = QStringLiteral("ip");
        const QStringList inStudent{ip, "netns", "exec", student};
        QString error;
        const bool ready
                = run({ip, "link", "set", "lo", "up"}, &error)
                  && run({ip, "netns", "add", student}, &error)
                  && run({ip, "link", "add", "dw0", "type", "veth", "peer", "name", "dw1", "netns",
                          student},
                         &error)
                  && run({ip, "addr", "add", "10.77.0.1/24", "broadcast", "+", "dev", "dw0"},
                         &error)
                  && run({ip, "link", "set", "dw0", "up"}, &error)
                  && run(inStudent
                                 + QStringList{ip, "link", "set", "dw1", "address",
                                               "02:00:5e:77:00:02"},
                         &error)
                  && run(inStudent + QStringList{ip, "addr", "add", "10.77.0.2/24", "dev", "dw1"},
                         &error)
                  && run(inStudent + QStringList{ip, "link", "set", "dw1", "up"}, &error);
        auto removeStudent = qScopeGuard([&] { run({ip, "netns", "del", student}, &error); });
        if (!ready)
            QSKIP(qPrintable(QStringLiteral("the veth pair could not be made: ") + error));

        TempDataHome data;
        Classroom::listenPortOverride = 0;
        Classroom classroom;
        classroom.StartServer();
        commands::PowerOn power(classroom);
        QProcess agent;
        agent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        agent.start(QStringLiteral("ip"),
                    QStringList{"netns", "exec", student, "python3", "-c", StudentScript,
                                "10.77.0.1", QString::number(classroom.MyServer->localPort())});
        QVERIFY(agent.waitForStarted(20000));
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += agent.readAllStandardOutput()).contains("connected\n"),
                                 30000);
        QTRY_COMPARE_WITH_TIMEOUT(power.known().size(), 1, 20000);
        const wakelist::Entry learnt = power.known().first();
        QCOMPARE(learnt.hardwareAddress, QByteArray::fromHex("02005e770002"));
        QCOMPARE(learnt.address, QStringLiteral("10.77.0.2"));
        QCOMPARE(learnt.broadcast, QStringLiteral("10.77.0.255"));

        agent.write("bye\n");
        QTRY_VERIFY_WITH_TIMEOUT(classroom.computers().empty(), 20000);
        QCOMPARE(power.wakeAbsent(), 1);
        QVERIFY(agent.waitForFinished(30000));
        QCOMPARE(agent.exitCode(), 0);
        QCOMPARE(agent.readAllStandardOutput().trimmed(),
                 (QByteArray(6, '\xFF') + learnt.hardwareAddress.repeated(16)).toHex());
        Classroom::listenPortOverride = -1;
    }
};

QTEST_MAIN(PowerOnTest)
#include "test_poweron.moc"
