// The listening server over Winsock. Windows has no watch set for many
// sockets behind one notifier, so each connection has its own notifier;
// the rules of reporting, holding and capping are those of the other half.
#include "platform/hostinfo.h"
#include "platform/tcpserver.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>

#include <winsock2.h>
#include <ws2tcpip.h>

namespace platform {

namespace {

QString socketErrorText(int code, const char *api)
{
    wchar_t *text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                             | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, DWORD(code), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const QString message = text ? QString::fromWCharArray(text).trimmed() : QString();
    ::LocalFree(text);
    return QStringLiteral("Socket error: %1 (%2), on API '%3'")
            .arg(message)
            .arg(code)
            .arg(QLatin1String(api));
}

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

bool wouldBlock(int code)
{
    return code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAEINPROGRESS;
}

// 1 data waits, 0 the peer has closed, -1 nothing now (code 0) or an error.
int peek(std::mutex &mutex, const int &fd, int *code)
{
    std::lock_guard lock(mutex);
    *code = 0;
    if (fd < 0)
        return -1;
    char probe;
    const int n = ::recv(SOCKET(fd), &probe, 1, MSG_PEEK);
    if (n >= 0)
        return n > 0 ? 1 : 0;
    const int error = ::WSAGetLastError();
    *code = wouldBlock(error) ? 0 : error;
    return -1;
}

} // namespace

TcpServer::TcpServer(QObject *parent)
    : QObject(parent)
    , m_nameRelay(std::make_shared<NameRelay>())
{
    m_nameRelay->server = this;
    startSockets();
}

TcpServer::~TcpServer()
{
    {
        std::lock_guard lock(m_nameRelay->mutex);
        m_nameRelay->server = nullptr;
    }
    blockSignals(true);
    for (const ConnectionPtr &c : std::vector<ConnectionPtr>(m_connections)) {
        c->m_closing = true;
        c->closeDescriptor();
        c->m_server = nullptr;
    }
    m_connections.clear();
    m_perAddress.clear();
    close();
}

bool TcpServer::listen(quint16 port, QString *errorText, int *errorCode)
{
    close();
    auto fail = [&](const char *api, SOCKET s) {
        const int code = ::WSAGetLastError();
        if (s != INVALID_SOCKET)
            ::closesocket(s);
        if (errorText)
            *errorText = socketErrorText(code, api);
        if (errorCode)
            *errorCode = code;
        return false;
    };
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return fail("socket", s);
    // A port held by another listener fails here, as it does elsewhere with
    // SO_REUSEADDR; Windows' SO_REUSEADDR would let two share it.
    const BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&one),
                 sizeof one);
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == SOCKET_ERROR)
        return fail("bind", s);
    if (::listen(s, ListenBacklog) == SOCKET_ERROR)
        return fail("listen", s);

    // Socket handles are kernel handles, which fit in 32 bits.
    m_fd = int(s);
    m_acceptNotifier = new QSocketNotifier(qintptr(s), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &TcpServer::acceptPending);
    return true;
}

quint16 TcpServer::localPort() const
{
    if (m_fd < 0)
        return 0;
    sockaddr_in addr{};
    int len = sizeof addr;
    if (::getsockname(SOCKET(m_fd), reinterpret_cast<sockaddr *>(&addr), &len) == SOCKET_ERROR)
        return 0;
    return ntohs(addr.sin_port);
}

void TcpServer::close()
{
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    if (m_fd >= 0) {
        ::closesocket(SOCKET(m_fd));
        m_fd = -1;
    }
}

void TcpServer::resumeReads(const ConnectionPtr &c)
{
    if (!c || !c->m_readsHeld)
        return;
    c->m_readsHeld = false;
    const auto aside = std::find(m_setAside.begin(), m_setAside.end(), c->m_key);
    if (aside == m_setAside.end() || c->m_key == 0)
        return;
    m_setAside.erase(aside);
    watchAgain(c);
}

// Back under its notifier. What waits is reported on the next turn, whether
// or not the system posts it again.
bool TcpServer::watchAgain(const ConnectionPtr &c)
{
    if (m_watched.value(c->m_key) != c)
        return false;
    watch(c.get());
    std::weak_ptr<Connection> weak = c;
    QTimer::singleShot(0, this, [this, weak] {
        if (auto self = weak.lock(); self && m_watched.contains(self->m_key))
            serve(self, 0);
    });
    return true;
}

int TcpServer::connectionLimit() const
{
    return m_totalLimit > 0 ? m_totalLimit : MaxConnections;
}

void TcpServer::acceptPending()
{
    const int limit = connectionLimit();
    int accepted = 0;
    for (int round = 0; accepted < AcceptsPerWakeup && round < 256 && m_fd >= 0; ++round) {
        sockaddr_in addr{};
        int len = sizeof addr;
        const SOCKET s = ::accept(SOCKET(m_fd), reinterpret_cast<sockaddr *>(&addr), &len);
        if (s == INVALID_SOCKET) {
            const int code = ::WSAGetLastError();
            if (wouldBlock(code) || code == WSAECONNRESET)
                return;
            int reported = code;
            emit serverError(reported);
            if (m_acceptNotifier) {
                m_acceptNotifier->setEnabled(false);
                QTimer::singleShot(100, this, [this] {
                    if (m_acceptNotifier)
                        m_acceptNotifier->setEnabled(true);
                });
            }
            return;
        }
        ::SetHandleInformation(HANDLE(s), HANDLE_FLAG_INHERIT, 0);
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
        const QByteArray address(text);
        if (!admit(address, limit)) {
            refuse(int(s), address);
            continue;
        }
        ++accepted;
        ConnectionPtr c(new Connection(this, int(s), address, ntohs(addr.sin_port)));
        c->m_key = ++m_lastKey;
        watch(c.get());
        m_watched.insert(c->m_key, c);
        m_connections.push_back(c);
        lookUpName(c);
        emit clientConnect(c);
    }
}

void TcpServer::refuse(int fd, const QByteArray &address)
{
    resetOnClose(fd);
    ::closesocket(SOCKET(fd));

    const qint64 now = m_clock ? m_clock() : steadyMs();
    const auto last = m_lastRefusalReport.constFind(address);
    if (last != m_lastRefusalReport.constEnd() && now - *last < RefusalReportIntervalMs)
        return;
    if (m_lastRefusalReport.size() >= 1024) {
        m_lastRefusalReport.removeIf([now](const auto &entry) {
            return now - entry.value() >= RefusalReportIntervalMs;
        });
    }
    m_lastRefusalReport.insert(address, now);
    emit clientRefused(address);
}

bool TcpServer::watch(Connection *c)
{
    QSocketNotifier *&notifier = m_notifiers[c->m_key];
    if (!notifier) {
        notifier = new QSocketNotifier(qintptr(c->m_fd), QSocketNotifier::Read, this);
        const quint64 key = c->m_key;
        connect(notifier, &QSocketNotifier::activated, this, [this, key] {
            if (const ConnectionPtr c = m_watched.value(key))
                serve(c, 0);
        });
    }
    notifier->setEnabled(true);
    return true;
}

void TcpServer::unwatch(Connection *c)
{
    if (c->m_key == 0)
        return;
    // Before the socket is closed: a notifier must not outlive its socket.
    if (QSocketNotifier *notifier = m_notifiers.take(c->m_key)) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    m_watched.remove(c->m_key);
    c->m_key = 0;
}

void TcpServer::serveReady() {}

// Windows tells of data and of the peer's end through the same notifier,
// and of the end only once: every wake-up looks at what waits, and after a
// handler has read, once more whether the end now shows.
void TcpServer::serve(const ConnectionPtr &c, quint32)
{
    if (!c->isOpen()) {
        if (QSocketNotifier *notifier = m_notifiers.value(c->m_key))
            notifier->setEnabled(false);
        return;
    }
    int code = 0;
    const int state = peek(c->m_mutex, c->m_fd, &code);
    if (state == 0) {
        c->close();
    } else if (state < 0) {
        if (code != 0)
            handleError(c.get(), code);
    } else if (c->m_readsHeld) {
        setAside(c);
    } else {
        emit clientRead(c);
        if (c->isOpen() && !c->m_readsHeld && peek(c->m_mutex, c->m_fd, &code) == 0)
            c->close();
    }
}

void TcpServer::setAside(const ConnectionPtr &c)
{
    if (QSocketNotifier *notifier = m_notifiers.value(c->m_key))
        notifier->setEnabled(false);
    if (std::find(m_setAside.begin(), m_setAside.end(), c->m_key) == m_setAside.end())
        m_setAside.push_back(c->m_key);
    if (!m_setAsideTimer) {
        m_setAsideTimer = new QTimer(this);
        m_setAsideTimer->setInterval(HeldConnectionCheckMs);
        connect(m_setAsideTimer, &QTimer::timeout, this, &TcpServer::checkSetAside);
    }
    if (!m_setAsideTimer->isActive())
        m_setAsideTimer->start();
}

void TcpServer::checkSetAside()
{
    std::vector<quint64> aside;
    aside.swap(m_setAside);
    for (quint64 key : aside) {
        const ConnectionPtr c = m_watched.value(key);
        if (!c)
            continue;
        int code = 0;
        const int state = peek(c->m_mutex, c->m_fd, &code);
        if (state > 0 && c->m_readsHeld)
            m_setAside.push_back(key); // still waits for its hold to end
        else if (state > 0)
            watchAgain(c); // a handler above ended its hold
        else if (state == 0)
            c->close();
        else if (code != 0)
            handleError(c.get(), code);
        else
            watchAgain(c); // its reader has taken it all
    }
    if (m_setAside.empty())
        m_setAsideTimer->stop();
}

} // namespace platform
