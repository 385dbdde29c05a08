#include "platform/tcpserver.h"

#include "platform/sockets.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>

namespace platform {

namespace {

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

// 1 data waits, 0 the peer has closed, -1 nothing now (code 0) or an error.
int peek(std::mutex &mutex, const int &fd, int *code)
{
    std::lock_guard lock(mutex);
    *code = 0;
    if (fd < 0)
        return -1;
    char probe;
    const qint64 n = sockets::receive(fd, &probe, 1, true, code);
    return n < 0 ? -1 : int(n);
}

} // namespace

TcpServer::TcpServer(QObject *parent)
    : QObject(parent)
    , m_nameRelay(std::make_shared<NameRelay>())
{
    m_nameRelay->server = this;
    m_readiness = sockets::makeReadyWatch(this, [this](quint64 key, bool onlyData) {
        // A handler may have closed a connection reported with this one.
        if (const ConnectionPtr c = m_watched.value(key))
            serve(c, onlyData);
    });
}

TcpServer::~TcpServer()
{
    // The program is ending: connections go without notifications, since
    // whoever listens to them may already be gone.
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
    const char *api = "";
    int code = m_readiness->open(&api);
    const int fd = code == 0 ? sockets::listenOn(port, ListenBacklog, &code, &api) : -1;
    if (fd < 0) {
        if (errorText)
            *errorText = sockets::errorText(code, api);
        if (errorCode)
            *errorCode = code;
        return false;
    }
    m_fd = fd;
    m_descriptorsAtListen = sockets::openDescriptors(fd + 1);
    m_acceptNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &TcpServer::acceptPending);
    return true;
}

quint16 TcpServer::localPort() const
{
    return m_fd < 0 ? 0 : sockets::localPort(m_fd);
}

void TcpServer::close()
{
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    if (m_fd >= 0) {
        sockets::close(m_fd);
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

// Back into the watch: whatever waits is reported at the next wake-up.
void TcpServer::watchAgain(const ConnectionPtr &c)
{
    if (m_watched.value(c->m_key) != c)
        return;
    if (const int code = m_readiness->resume(c->m_key, c->m_fd))
        handleError(c.get(), code);
}

int TcpServer::connectionLimit() const
{
    if (m_totalLimit > 0)
        return m_totalLimit;
    const qint64 limit = sockets::descriptorLimit();
    if (limit < 0)
        return MaxConnections;
    const qint64 room = limit - m_descriptorsAtListen - SpareDescriptors;
    return int(std::clamp<qint64>(room, 0, MaxConnections));
}

void TcpServer::acceptPending()
{
    // Bounded, so that a storm of connects cannot starve the window; the
    // notifier fires again for what is left. Every accepted connection runs
    // the connect handler; its name is looked up on another thread. Refusals
    // cost no handler and no lookup, so a wake-up refuses many more, but not
    // without end either.
    const int limit = connectionLimit();
    int accepted = 0;
    for (int round = 0; accepted < AcceptsPerWakeup && round < 256 && m_fd >= 0; ++round) {
        QByteArray address;
        quint16 port = 0;
        int code = 0;
        const int fd = sockets::accept(m_fd, &address, &port, &code);
        if (fd < 0) {
            if (code == 0)
                return;
            // Out of descriptors and the like: report it, and give the system
            // a moment instead of being woken again at once.
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
        if (!admit(address, limit)) {
            refuse(fd, address);
            continue;
        }
        ++accepted;

        ConnectionPtr c(new Connection(this, fd, address, port));
        c->m_key = ++m_lastKey;
        if (const int code = m_readiness->watch(c->m_key, fd)) {
            // The system cannot watch one more: as if it had never come.
            int reported = code;
            c->m_key = 0;
            if (--m_perAddress[address] <= 0)
                m_perAddress.remove(address);
            emit serverError(reported);
            continue;
        }
        m_watched.insert(c->m_key, c);
        m_connections.push_back(c);
        lookUpName(c);
        emit clientConnect(c);
    }
}

void TcpServer::refuse(int fd, const QByteArray &address)
{
    // With a reset, so that nothing of the connection waits in the system
    // for the peer's end either.
    sockets::closeWithReset(fd);

    const qint64 now = m_clock ? m_clock() : steadyMs();
    const auto last = m_lastRefusalReport.constFind(address);
    if (last != m_lastRefusalReport.constEnd() && now - *last < RefusalReportIntervalMs)
        return;
    // Only addresses reported within the last interval need remembering.
    if (m_lastRefusalReport.size() >= 1024) {
        m_lastRefusalReport.removeIf([now](const auto &entry) {
            return now - entry.value() >= RefusalReportIntervalMs;
        });
    }
    m_lastRefusalReport.insert(address, now);
    emit clientRefused(address);
}

void TcpServer::unwatch(Connection *c)
{
    if (c->m_key == 0)
        return;
    // Before the descriptor is closed, while the watch can still find it.
    m_readiness->unwatch(c->m_key, c->m_fd);
    m_watched.remove(c->m_key);
    c->m_key = 0;
}

// Where the system tells of a peer's end only once, after a handler has
// read it is looked for once more.
void TcpServer::serve(const ConnectionPtr &c, bool onlyData)
{
    if (!c->isOpen()) {
        // Failed, and its error is on its way: stop watching it till then.
        m_readiness->pause(c->m_key, c->m_fd);
        return;
    }
    // Plain data needs no look: only an end or an error may hide behind it.
    int code = 0;
    const int state = onlyData ? 1 : peek(c->m_mutex, c->m_fd, &code);
    if (state == 0) {
        c->close(); // the peer has closed, and all it sent has been read
    } else if (state < 0) {
        if (code != 0)
            handleError(c.get(), code);
    } else if (c->m_readsHeld) {
        setAside(c);
    } else {
        emit clientRead(c); // what was sent before the end is read first
        if (m_readiness->endToldOnce() && c->isOpen() && !c->m_readsHeld
            && peek(c->m_mutex, c->m_fd, &code) == 0)
            c->close();
    }
}

// A connection with data waiting while its reads are held would wake the
// event loop at once, for ever: it leaves the set until its hold ends, and is
// looked at now and then meanwhile, so that its end is still reported once
// its reader has taken the data.
void TcpServer::setAside(const ConnectionPtr &c)
{
    m_readiness->pause(c->m_key, c->m_fd);
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
