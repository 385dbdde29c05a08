// The names of the students' computers: looked up off the window's thread,
// from the name service first and then from the computer itself, whose
// answer is untrusted input.
#include "platform/cp1250.h"
#include "platform/hostnames.h"
#include "platform/netbios.h"
#include "platform/tcpserver.h"
#include "support/rawsocket.h"
#include "support/serverprocess.h"
#include "support/wine.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUdpSocket>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

using platform::ConnectionPtr;
using platform::TcpServer;
namespace hostnames = platform::hostnames;

namespace {

enum class Reply { Name, Silent, Truncated, WrongId, WrongIdThenName, OtherAddress, Overcounted };

// An answer that holds only the group name but claims four names, with the
// statistics after it dressed as the workstation's name.
QByteArray overcounted(quint16 id, const QByteArray &oemName)
{
    QByteArray answer = netbios::nodeStatusAnswer(id, {{"PRACOWNIA", 0x00, true}});
    const qsizetype data = answer.size() - (1 + 18 + 46);
    answer[data] = 4;
    const QByteArray name = oemName.leftJustified(15, ' ') + QByteArray("\x00\x04\x00", 3);
    answer.replace(data + 1 + 18, name.size(), name);
    return answer;
}

// A student computer's NetBIOS side on a loopback port of the test's own.
// Wine binds a datagram socket bound to one address to all of its
// interface's (for broadcasts), and its answers leave from 127.0.0.1; a
// computer whose answer comes from its own address is 127.0.0.1 there.
const char *computerAddress()
{
    return underWine() ? "127.0.0.1" : "127.0.0.21";
}

class Responder
{
public:
    Responder(Reply reply, const QByteArray &oemName)
    {
        m_socket.bind(QHostAddress(QString::fromLatin1(computerAddress())), 0);
        m_other.bind(QHostAddress(QStringLiteral("127.0.0.22")), m_socket.localPort());
        QObject::connect(&m_socket, &QUdpSocket::readyRead, &m_socket, [=, this] {
            while (m_socket.hasPendingDatagrams()) {
                QHostAddress from;
                quint16 port = 0;
                QByteArray query(int(m_socket.pendingDatagramSize()), '\0');
                m_socket.readDatagram(query.data(), query.size(), &from, &port);
                ++queries;
                if (query.size() < 2 || reply == Reply::Silent)
                    continue;
                const quint16 id = qFromBigEndian<quint16>(query.constData());
                // A group name first: the workstation's is the unique one.
                const QByteArray answer = netbios::nodeStatusAnswer(
                        id, {{"PRACOWNIA", 0x00, true}, {oemName, 0x20}, {oemName, 0x00}});
                QByteArray forged = answer;
                qToBigEndian<quint16>(quint16(id + 1), forged.data());
                if (reply == Reply::Truncated)
                    m_socket.writeDatagram(answer.left(answer.size() - 60), from, port);
                if (reply == Reply::WrongId || reply == Reply::WrongIdThenName)
                    m_socket.writeDatagram(forged, from, port);
                if (reply == Reply::OtherAddress)
                    m_other.writeDatagram(answer, from, port);
                if (reply == Reply::Name || reply == Reply::WrongIdThenName)
                    m_socket.writeDatagram(answer, from, port);
                if (reply == Reply::Overcounted)
                    m_socket.writeDatagram(overcounted(id, oemName), from, port);
            }
        });
    }
    quint16 port() const { return m_socket.localPort(); }
    int queries = 0;

private:
    QUdpSocket m_socket;
    QUdpSocket m_other;
};

} // namespace

Q_DECLARE_METATYPE(Reply)

class NamesTest : public QObject
{
    Q_OBJECT
private slots:
    void nameOfComputer_data();
    void nameOfComputer();
    void churningAddressesHoldUpNoName();
    void namesFromSamba();
};

void NamesTest::nameOfComputer_data()
{
    QTest::addColumn<QByteArray>("nameService");
    QTest::addColumn<bool>("netbiosOn");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QByteArray>("oemName");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("queries");

    const QByteArray plain = "SALA-21";
    QTest::newRow("name service knows it") << QByteArray("sala-21.szkola.lan") << true
                                           << Reply::Name << plain << "sala-21.szkola.lan" << 0;
    QTest::newRow("computer answers")
            << QByteArray() << true << Reply::Name << plain << "SALA-21" << 1;
    QTest::newRow("switched off") << QByteArray() << false << Reply::Name << plain << "" << 0;
    QTest::newRow("silent computer, asked twice")
            << QByteArray() << true << Reply::Silent << plain << "" << 2;
    QTest::newRow("malformed answer")
            << QByteArray() << true << Reply::Truncated << plain << "" << 2;
    QTest::newRow("wrong transaction id")
            << QByteArray() << true << Reply::WrongId << plain << "" << 2;
    QTest::newRow("forged answer before the real one")
            << QByteArray() << true << Reply::WrongIdThenName << plain << "SALA-21" << 1;
    QTest::newRow("more names claimed than the answer holds")
            << QByteArray() << true << Reply::Overcounted << plain << "" << 2;
    QTest::newRow("answer from another address")
            << QByteArray() << true << Reply::OtherAddress << plain << "" << 2;
    QTest::newRow("control bytes dropped")
            << QByteArray() << true << Reply::Name << QByteArray("\x1b[2JSA\x01LA\r\n-2\x7f")
            << "[2JSALA-2" << 1;
    QTest::newRow("code page 852 letters")
            << QByteArray() << true << Reply::Name << netbios::toCp852(u"  ŻÓŁW-ĄĘŚĆŃ źł")
            << "ŻÓŁW-ĄĘŚĆŃ źł" << 1;
}

void NamesTest::nameOfComputer()
{
    QFETCH(QByteArray, nameService);
    QFETCH(bool, netbiosOn);
    QFETCH(Reply, reply);
    QFETCH(QByteArray, oemName);
    QFETCH(QString, shown);
    QFETCH(int, queries);
    if (reply == Reply::OtherAddress && underWine())
        QSKIP("under Wine every answer leaves from 127.0.0.1, whatever loopback address its "
              "socket is bound to, so no answer comes from another address");

    Responder computer(reply, oemName);
    hostnames::Settings settings;
    settings.netbios = netbiosOn;
    settings.netbiosPort = computer.port();
    hostnames::setSettings(settings);
    QList<QThread *> askedOn;
    TcpServer::setHostNameResolver([&](const QByteArray &) {
        askedOn << QThread::currentThread();
        return nameService;
    });
    auto restore = qScopeGuard([] {
        TcpServer::setHostNameResolver({});
        hostnames::resetSettings();
    });

    TcpServer server;
    QVERIFY(server.listen(0));
    QSignalSpy named(&server, &TcpServer::clientNamed);
    RawSocket client(server.localPort(), computerAddress());
    QTRY_COMPARE(server.activeConnections(), 1);
    const ConnectionPtr c = server.connection(0);
    // Listed at once; the name follows.
    QTRY_VERIFY(c->hostNameKnown());
    QCOMPARE(cp1250::toUnicode(c->peerHostName()), shown);
    QCOMPARE(computer.queries, queries);
    QCOMPARE(named.size(), 1);
    QCOMPARE(askedOn.size(), 1);
    QVERIFY(askedOn[0] != QThread::currentThread());

    // Later texts take the name kept, without asking anyone again.
    QCOMPARE(cp1250::toUnicode(c->peerHostName()), shown);
    QCOMPARE(askedOn.size(), 1);
}

namespace {

// Samba's name server for one address of its own, every file it keeps in
// folder: it answers as a Windows computer of that name would.
QByteArray nmbdConfig(const QString &folder, const QString &address, const QString &name)
{
    QString config = QStringLiteral("[global]\nnetbios name = %1\nworkgroup = PRACOWNIA\n"
                                    "interfaces = %2/8\nbind interfaces only = yes\n"
                                    "dos charset = CP852\nunix charset = UTF-8\n"
                                    "local master = no\npreferred master = no\n"
                                    "domain master = no\nwins support = no\ndns proxy = no\n"
                                    "log file = %3/nmbd.log\n"
                                    "nmbd:socket dir = %3/socket\n")
                             .arg(name, address, folder);
    const char *folders[] = {"lock directory", "state directory", "cache directory",
                             "private dir",    "pid directory",   "ncalrpc dir"};
    for (const char *kind : folders) {
        const QString path
                = folder + QLatin1Char('/') + QString::fromLatin1(kind).section(' ', 0, 0);
        QDir().mkpath(path);
        config += QString::fromLatin1(kind) + QStringLiteral(" = ") + path + QLatin1Char('\n');
    }
    return config.toUtf8();
}

// Starts nmbd for address on port, named name, in a folder of scratch.
bool startNmbd(ServerProcess &server, const QString &scratch, const QString &address,
               const QString &name, quint16 port)
{
    const QString folder = scratch + QLatin1Char('/') + address;
    QFile config(folder + QStringLiteral("/smb.conf"));
    if (!QDir().mkpath(folder) || !config.open(QIODevice::WriteOnly))
        return false;
    config.write(nmbdConfig(folder, address, name));
    config.close();
    // "nbt port" in smb.conf does not move nmbd's socket; -p does.
    return server.start(ServerProcess::find(QStringLiteral("nmbd")),
                        {"-F", "--no-process-group", "--debug-stdout", "-d", "1", "-p",
                         QString::number(port), "-s", config.fileName(), "-l", folder},
                        folder + QStringLiteral("/output.txt"));
}

} // namespace

// Two computers named by Samba's nmbd, one name in Polish letters (code page
// 852 on the wire): the list shows both.
void NamesTest::namesFromSamba()
{
#ifdef _WIN32
    QSKIP("Samba's nmbd is a Linux program");
#else
    if (ServerProcess::find(QStringLiteral("nmbd")).isEmpty())
        QSKIP("nmbd is not installed (scripts/setup.sh installs samba)");
    // Whatever port it is given for names, it also binds the datagram port 138.
    if (::geteuid() != 0)
        QSKIP("nmbd runs only as root: it binds UDP port 138 whatever its name port");
#endif
    const std::array<const char *, 2> addresses{"127.0.0.41", "127.0.0.42"};
    const std::array<QString, 2> names{QStringLiteral("SALA-41"), QStringLiteral("ŻÓŁW-ŁĄKA")};
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    quint16 port = 0;
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress(QHostAddress::AnyIPv4), 0));
        port = probe.localPort();
    }
    std::array<ServerProcess, 2> servers;
    for (int i = 0; i < 2; ++i)
        QVERIFY(startNmbd(servers[i], scratch.path(), QLatin1String(addresses[i]), names[i], port));
    // Ready once it answers for the names it has registered.
    for (int i = 0; i < 2; ++i) {
        QVERIFY2(QTest::qWaitFor(
                         [&] {
                             return !servers[i].running()
                                    || !netbios::askWorkstationName(addresses[i], port, 200, 1)
                                                .isEmpty();
                         },
                         15000)
                         && servers[i].running(),
                 addresses[i]);
    }

    hostnames::Settings settings;
    settings.netbiosPort = port;
    hostnames::setSettings(settings);
    TcpServer::setHostNameResolver([](const QByteArray &) { return QByteArray(); });
    auto restore = qScopeGuard([] {
        TcpServer::setHostNameResolver({});
        hostnames::resetSettings();
    });
    TcpServer server;
    QVERIFY(server.listen(0));
    RawSocket first(server.localPort(), addresses[0]);
    RawSocket second(server.localPort(), addresses[1]);
    QTRY_COMPARE(server.activeConnections(), 2);
    QStringList shown;
    for (int i = 0; i < 2; ++i) {
        const ConnectionPtr c = server.connection(i);
        QTRY_VERIFY(c->hostNameKnown());
        shown << cp1250::toUnicode(c->peerHostName());
    }
    shown.sort();
    QCOMPARE(shown, (QStringList{names[0], names[1]}));
}

// Sixteen addresses connect and close again and again while the name service
// takes its time: each address is looked up once at a time, the lookups of
// connections gone before their turn are never asked, and a computer that
// joins meanwhile is named.
void NamesTest::churningAddressesHoldUpNoName()
{
    hostnames::Settings settings;
    settings.netbios = false;
    hostnames::setSettings(settings);
    std::mutex mutex;
    QHash<QByteArray, int> running;
    int calls = 0;
    int mostAtOnce = 0;
    TcpServer::setHostNameResolver([&](const QByteArray &address) {
        {
            std::lock_guard lock(mutex);
            ++calls;
            mostAtOnce = std::max(mostAtOnce, ++running[address]);
        }
        // A name service that takes its time over each question.
        QThread::msleep(50);
        std::lock_guard lock(mutex);
        --running[address];
        return address == "127.0.0.21" ? QByteArray("SALA-21") : QByteArray();
    });
    auto restore = qScopeGuard([] {
        TcpServer::setHostNameResolver({});
        hostnames::resetSettings();
    });
    TcpServer server;
    QVERIFY(server.listen(0));
    const int rounds = 8;
    int seen = 0;
    connect(&server, &TcpServer::clientConnect, &server, [&] { ++seen; });
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::unique_ptr<RawSocket>> churn;
        for (int a = 101; a <= 116; ++a)
            churn.push_back(std::make_unique<RawSocket>(
                    server.localPort(),
                    QByteArray("127.0.0." + QByteArray::number(a)).constData()));
        QTRY_COMPARE(seen, 16 * (round + 1));
    }
    QTRY_COMPARE(server.activeConnections(), 0);

    RawSocket honest(server.localPort(), "127.0.0.21");
    QTRY_COMPARE(server.activeConnections(), 1);
    const ConnectionPtr c = server.connection(0);
    QTRY_VERIFY(c->hostNameKnown());
    QCOMPARE(c->peerHostName(), QByteArray("SALA-21"));
    std::lock_guard lock(mutex);
    QCOMPARE(mostAtOnce, 1);
    // At most the first round's lookups and one more per address, not one
    // per connection.
    QVERIFY2(calls <= 2 * 16 + 1, qPrintable(QString::number(calls)));
}

QTEST_GUILESS_MAIN(NamesTest)
#include "test_names.moc"
