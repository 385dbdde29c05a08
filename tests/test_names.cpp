// The names of the students' computers: looked up off the window's thread,
// from the name service first and then from the computer itself, whose
// answer is untrusted input.
#include "platform/cp1250.h"
#include "platform/hostnames.h"
#include "platform/netbios.h"
#include "platform/tcpserver.h"
#include "support/rawsocket.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QUdpSocket>
#include <QtEndian>

using platform::ConnectionPtr;
using platform::TcpServer;
namespace hostnames = platform::hostnames;

namespace {

enum class Reply { Name, Silent, Truncated, WrongId, WrongIdThenName, OtherAddress };

// A student computer's NetBIOS side on a loopback port of the test's own.
class Responder
{
public:
    Responder(Reply reply, const QByteArray &oemName)
    {
        m_socket.bind(QHostAddress(QStringLiteral("127.0.0.21")), 0);
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
    RawSocket client(server.localPort(), "127.0.0.21");
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

QTEST_GUILESS_MAIN(NamesTest)
#include "test_names.moc"
