// The listening server and the registry of connected computers.
#include "link/classroom.h"

#include "link/jpegimage.h"
#include "link/streambuffers.h"
#include "platform/cp1250.h"
#include "platform/hostinfo.h"
#include "storage/eventlog.h"

#include <algorithm>

int Classroom::listenPortOverride = -1;

namespace {

QString text(const QByteArray &bytes)
{
    return cp1250::toUnicode(bytes);
}

} // namespace

Classroom::Classroom(QObject *parent)
    : QObject(parent)
    , MyServer(new platform::TcpServer(this))
{
    MyServer->setObjectName(QStringLiteral("MyServer"));
    // Only iPacketNo is fixed at creation; the other fields start as empty
    // texts and zeros, which are valid values to go out with.
    CurrentPacket = PacketRecord{};
    environment.sendWait = [](platform::Connection &connection, int ms) {
        connection.waitForWritable(ms);
    };
    // At most one entry a second for each flooding connection.
    m_leftOutTimer.setSingleShot(true);
    m_leftOutTimer.setInterval(1000);
    connect(&m_leftOutTimer, &QTimer::timeout, this, &Classroom::reportAllLeftOut);
    m_idleBuffersTimer.setInterval(IdleBuffersMs / 4);
    connect(&m_idleBuffersTimer, &QTimer::timeout, this, [] {
        streambuffers::releaseIdle(IdleBuffersMs);
        jpegimage::releaseIdleBlocks(IdleBuffersMs);
    });
    m_idleBuffersTimer.start();
    m_clock.start();
    m_fitPool.setMaxThreadCount(1);
    wireServer();
}

Classroom::~Classroom()
{
    stopStream();
    // A fitting still running only posts its result, which goes with this.
    m_fitPool.clear();
    m_fitPool.waitForDone();
}

// An error of a handler is reported and the event loop goes on.
void Classroom::wireServer()
{
    auto shield = [this](const std::function<void()> &handler) {
        try {
            handler();
        } catch (const std::exception &error) {
            emit failed(QString::fromUtf8(error.what()));
        }
    };
    using platform::ConnectionPtr;
    using platform::TcpServer;
    connect(MyServer, &TcpServer::clientConnect, this,
            [=, this](const ConnectionPtr &c) { shield([&] { MyServerClientConnect(c); }); });
    connect(MyServer, &TcpServer::clientDisconnect, this,
            [=, this](const ConnectionPtr &c) { shield([&] { MyServerClientDisconnect(c); }); });
    connect(MyServer, &TcpServer::clientRead, this,
            [=, this](const ConnectionPtr &c) { shield([&] { MyServerClientRead(c); }); });
    connect(MyServer, &TcpServer::clientError, this, [=, this](const ConnectionPtr &c, int &code) {
        shield([&] { MyServerClientError(c, code); });
    });
    connect(MyServer, &TcpServer::serverError, this,
            [=, this](int &code) { shield([&] { ServerSocketError(code); }); });
    connect(MyServer, &TcpServer::clientRefused, this, [=, this](const QByteArray &address) {
        shield([&] { MyServerClientRefused(address); });
    });
    connect(MyServer, &TcpServer::clientNamed, this,
            [=, this](const ConnectionPtr &c) { shield([&] { MyServerClientNamed(c); }); });
}

void Classroom::logStatus(const QString &line)
{
    emit statusText(line);
    WriteLog(cp1250::fromUnicode(line));
}

void Classroom::ShowLocalHostInfo()
{
    LocalHostName = platform::localHostName().left(254);
    // The first IPv4 address the name resolves to. A name that resolves to
    // none leaves the address empty.
    LocalIP = platform::firstIPv4Address(LocalHostName).left(20);

    ServerPort = listenPortOverride >= 0 ? quint32(listenPortOverride) : 6500;

    // In one step: a second arg() would fill a "%1" inside the host name.
    emit localHostInfo(
            QStringLiteral("Nazwa lokalnego komputera: %1, adres IP: %2, port: %3")
                    .arg(text(LocalHostName), text(LocalIP), QString::number(ServerPort)));
}

void Classroom::StartServer()
{
    QString error;
    if (!MyServer->listen(quint16(ServerPort), &error))
        throw SocketError(error.toStdString());
    emit statusText(QStringLiteral("Serwer uruchomiony, czekam na połączenia..."));
    WriteLog(cp1250::fromUnicode(u"serwer uruchomiony, oczekiwanie na połączenia"));
}

void Classroom::MyServerClientConnect(const platform::ConnectionPtr &socket)
{
    const QByteArray address = socket->peerAddress();
    const QString line = QStringLiteral("Połączono z ") + text(address);
    emit statusText(line);
    // Students' programs may connect and leave without end: what that writes
    // counts against their share of the day log.
    eventlog::AgentEntries byAgents;

    m_roster.add(socket);
    WriteLog(cp1250::fromUnicode(line));
}

void Classroom::MyServerClientRefused(const QByteArray &address)
{
    eventlog::AgentEntries byAgents;
    logStatus(QStringLiteral("Odrzucono połączenie z ") + text(address)
              + QStringLiteral(": za dużo połączeń"));
}

// The name comes after the row: the row shows the address at once.
void Classroom::MyServerClientNamed(const platform::ConnectionPtr &socket)
{
    if (Computer *computer = computerOf(socket))
        m_roster.rename(computer, socket->peerHostName());
}

void Classroom::MyServerClientDisconnect(const platform::ConnectionPtr &socket)
{
    eventlog::AgentEntries byAgents;
    logStatus(QStringLiteral("Rozłączono z ") + text(socket->peerAddress()));

    // The row of this very connection: others may share its address and
    // name (a second program on the computer, or one posing as its agent).
    Computer *gone = computerOf(socket);
    if (!gone)
        return;
    m_roster.remove(gone);
    reportLeftOut(gone->address);
    endChannel(gone->channel);
}

void Classroom::MyServerClientError(const platform::ConnectionPtr &socket, int &errorCode)
{
    emit statusText(QStringLiteral("error, code nr: ") + QString::number(errorCode));
    errorCode = 0;
    socket->close(); // raises MyServerClientDisconnect before it returns
}

void Classroom::ServerSocketError(int &errorCode)
{
    logStatus(QStringLiteral("ERROR: błąd nr") + QString::number(errorCode));
    errorCode = 0;
}

// In constant time: the selection is the computer itself, whatever other
// connections share its address.
bool Classroom::FindSelectedConnection()
{
    Computer *computer = m_selected;
    if (!computer || computerOf(computer->connection) != computer || !computer->isOpen())
        return false;
    CurrentSocket = computer->connection;
    return true;
}
