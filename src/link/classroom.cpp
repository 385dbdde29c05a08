// The listening server and the registry of connected computers.
#include "link/classroom.h"

#include "platform/cp1250.h"
#include "platform/hostinfo.h"
#include "storage/eventlog.h"

#include <QThread>

#include <algorithm>

int Classroom::listenPortOverride = -1;

namespace {

QString text(const QByteArray &bytes)
{
    return cp1250::toUnicode(bytes);
}

// Rows sort by the address text with the locale's string comparison, not by
// number: 10.0.0.10 comes before 10.0.0.2.
bool addressBefore(const QByteArray &a, const QByteArray &b)
{
    return QString::localeAwareCompare(text(a), text(b)) < 0;
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
    CurrentPacket.iPacketNo = 0;
    environment.sendPause = [](int ms) {
        QThread::msleep(ulong(ms));
    };
    wireServer();
}

Classroom::~Classroom()
{
    stopStream();
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

    Computer joining{socket, address, socket->peerHostName(), socket->peerPort(), {}};
    // After those of the same address: the list keeps their order of coming.
    const auto place = std::upper_bound(
            m_computers.begin(), m_computers.end(), address,
            [](const QByteArray &a, const Computer &c) { return addressBefore(a, c.address); });
    const int index = int(place - m_computers.begin());
    m_computers.insert(place, std::move(joining));
    emit computerJoined(index);

    WriteLog(cp1250::fromUnicode(line));
}

void Classroom::MyServerClientRefused(const QByteArray &address)
{
    logStatus(QStringLiteral("Odrzucono połączenie z ") + text(address)
              + QStringLiteral(": za dużo połączeń"));
}

void Classroom::MyServerClientDisconnect(const platform::ConnectionPtr &socket)
{
    logStatus(QStringLiteral("Rozłączono z ") + text(socket->peerAddress()));

    // The first computer with this address and this host name, as the name
    // looks up now; the port plays no part. A computer whose name changed
    // meanwhile stays listed.
    const QByteArray address = socket->peerAddress();
    const QByteArray name = socket->peerHostName();
    const auto found = std::find_if(m_computers.begin(), m_computers.end(), [&](const Computer &c) {
        return c.address == address && c.hostName == name;
    });
    if (found == m_computers.end())
        return;
    const int index = int(found - m_computers.begin());
    m_computers.erase(m_computers.begin() + index);
    emit computerLeft(index);
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

int Classroom::indexOf(const platform::ConnectionPtr &connection) const
{
    for (size_t i = 0; i < m_computers.size(); ++i)
        if (m_computers[i].connection == connection)
            return int(i);
    return -1;
}

Computer *Classroom::computerOf(const platform::ConnectionPtr &connection)
{
    const int index = indexOf(connection);
    return index < 0 ? nullptr : &m_computers[size_t(index)];
}

bool Classroom::FindSelectedConnection()
{
    for (int i = 0; i < MyServer->activeConnections(); ++i) {
        platform::ConnectionPtr c = MyServer->connection(i);
        // A connection that is no longer open never matches.
        if (c && c->isOpen() && c->peerAddress() == m_selected) {
            CurrentSocket = c;
            return true;
        }
    }
    return false;
}
