#pragma once

#include "platform/hostnames.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace platform {

class TcpServer;

namespace sockets {
class ReadyWatch;
}

// One accepted TCP connection of the server.
//
// The server hands connections out as shared pointers, so whoever keeps one
// (the main window's current connection, a stream receiver on its thread) never
// holds a dangling pointer: once the connection is closed and released it
// answers "not open" and reads as closed. Every operation on the descriptor
// takes the connection's own lock, so receive() may be called from a worker
// thread while the user-interface thread sends or closes.
class Connection : public std::enable_shared_from_this<Connection>
{
public:
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool isOpen() const;

    // The peer's dotted IPv4 address and port, remembered when the connection
    // was accepted, so that they can still be told after a reset by the peer.
    // Empty (and 0) once the connection is closed.
    QByteArray peerAddress() const;
    quint16 peerPort() const;

    // The computer's name as its lookup found it (see hostnames.h), without
    // waiting: empty until the lookup has ended, when it found no name, and
    // once the connection is not open. A name older than the refresh time
    // is looked up again in the background.
    QByteArray peerHostName() const;
    // Whether the first lookup of the name has ended.
    bool hostNameKnown() const;

    // Non-blocking read of up to maxSize bytes: the count read, -1 when
    // nothing waits right now, 0 when the connection is closed (by the peer
    // or by us). An error is reported through the server's clientError on the
    // user-interface thread, and the call answers -1.
    qint64 receive(char *data, qint64 maxSize);

    // Waits at most ms milliseconds until the connection can take more bytes
    // (or has failed), and answers whether it can; after the whole time when
    // it is no longer open. A sender that met a full buffer waits here
    // instead of sleeping blindly between its attempts.
    bool waitForWritable(int ms) const;

    // Waits at most ms milliseconds until data or the end of the connection
    // waits to be read, and answers whether it does; at once when it already
    // does, after the whole time when the connection is no longer open. For a
    // reader that would otherwise sleep blindly between its reads.
    bool waitForReadable(int ms) const;
    // How many bytes wait to be read right now; 0 when the connection is no
    // longer open.
    qint64 bytesWaiting() const;

    // Non-blocking send: the count the system took (possibly fewer than
    // asked), or -1 when it takes nothing now or the connection failed.
    qint64 send(const char *data, qint64 size);

    // Closes the connection. On the user-interface thread the server's
    // clientDisconnect is raised before this returns.
    void close();

private:
    friend class TcpServer;
    Connection(TcpServer *server, int fd, QByteArray address, quint16 port);

    void closeDescriptor();
    void reportError(int code);
    void takeName(const QByteArray &name);
    bool descriptorValid() const;

    QPointer<TcpServer> m_server;
    mutable std::mutex m_mutex;
    int m_fd = -1;
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_closing{false};
    const QByteArray m_address;
    const quint16 m_port;
    // The connection's name in the server's watch set; 0 once unwatched.
    quint64 m_key = 0;
    // Its reads are held (see TcpServer::holdReads); the owner's thread only.
    bool m_readsHeld = false;

    mutable std::mutex m_nameMutex;
    QByteArray m_hostName;
    bool m_nameKnown = false;
    mutable bool m_nameLookupRunning = false;
    qint64 m_nameTime = 0;
};

using ConnectionPtr = std::shared_ptr<Connection>;

// A message-driven, non-blocking TCP listening server. All notifications are
// raised on the thread that owns the server (the user-interface thread).
//
// All connections share one watch set behind a single notifier, so a wake-up
// costs what the ready connections cost, not what all of them cost. Data is
// reported for as long as it waits: a clientRead handler reads it, or holds
// reads (holdReads) while something else, a stream reader on its thread,
// takes it.
class TcpServer : public QObject
{
    Q_OBJECT
public:
    explicit TcpServer(QObject *parent = nullptr);
    ~TcpServer() override;

    // Listens on every local IPv4 address. Port 0 picks a free port. On
    // failure errorText gets the system's message, the error code and the
    // failing call, and errorCode the code.
    bool listen(quint16 port, QString *errorText = nullptr, int *errorCode = nullptr);
    bool isListening() const { return m_fd >= 0; }
    quint16 localPort() const;
    void close();

    // The live connections, in accept order.
    int activeConnections() const { return int(m_connections.size()); }
    ConnectionPtr connection(int index) const;

    // While a connection's reads are held no clientRead is raised for it:
    // its data waits, a reader on another thread takes its own, and its end
    // is still reported (once its data has been taken). Nothing waiting wakes
    // the event loop again and again. Every other connection is read as
    // ever, so one computer's stream never holds up the others.
    void holdReads(const ConnectionPtr &connection);
    // Ends the hold of that connection: whatever waits in it is reported on
    // the next turns of the event loop.
    void resumeReads(const ConnectionPtr &connection);
    static bool readsHeld(const ConnectionPtr &connection)
    {
        return connection && connection->m_readsHeld;
    }

    // Replaces the system's reverse name lookup (tests and tools name their
    // computers with it). An empty function restores the system's lookup.
    // It is called on the lookup threads, several at once.
    using HostNameResolver = std::function<QByteArray(const QByteArray &address)>;
    static void setHostNameResolver(HostNameResolver resolver);
    static QByteArray lookupHostName(const QByteArray &address);

    // While its reads are held, how often a connection with data waiting is
    // looked at again to tell whether it has ended or its data was taken.
    static constexpr int HeldConnectionCheckMs = 50;
    // Ready connections served per wake-up; the notifier fires again for the
    // rest, so that a room sending at once cannot starve the window.
    static constexpr int ReadyPerWakeup = 32;
    // Connections taken in per wake-up: a click waits for at most this many
    // connect handlers. Each turn of the event
    // loop also redraws the list, so fewer per wake-up list a whole room
    // later; this many keep a click under a fiftieth of a second.
    static constexpr int AcceptsPerWakeup = 8;

    // The accept queue holds a whole room reconnecting at once.
    static constexpr int ListenBacklog = 1024;

    // How many connections the server keeps. One computer runs one agent;
    // a few more let it reconnect before its old connection is seen to close.
    // The total stays below the open-file limit with room for what the
    // console opens besides (the day log and the settings file, each opened
    // per write, the update worker's connection and installer file, and two
    // for each name lookup thread: the name service's socket and the
    // NetBIOS query's): the limit in force, less the descriptors open when the server
    // started listening, less SpareDescriptors; and never above
    // MaxConnections, which is already far more computers than a school has.
    // A connection over either cap is closed at once: no notification, no
    // row, no name lookup.
    static constexpr int ConnectionsPerAddress = 4;
    static constexpr int MaxConnections = 4096;
    static constexpr int SpareDescriptors = 32 + 2 * hostnames::PoolThreads;
    // A refusal is reported at most this often for one address.
    static constexpr qint64 RefusalReportIntervalMs = 60 * 1000;

    // Replaces the caps (tests lower them); total 0 takes it from the
    // open-file limit as above.
    void setConnectionLimits(int perAddress, int total);
    // The total cap in force now.
    int connectionLimit() const;

    // Milliseconds of a steady clock, for the pacing of refusal reports;
    // tests move it by hand. An empty function restores the real one.
    using Clock = std::function<qint64()>;
    void setClock(Clock clock);

signals:
    void clientConnect(const platform::ConnectionPtr &connection);
    // Raised while the connection can still be asked for its peer.
    void clientDisconnect(const platform::ConnectionPtr &connection);
    void clientRead(const platform::ConnectionPtr &connection);
    // An error on one connection (errno). The handler may clear the code and
    // is expected to close the connection; a failed connection that is still
    // open afterwards is closed by the server.
    void clientError(const platform::ConnectionPtr &connection, int &errorCode);
    void serverError(int &errorCode);
    // A connection from address was refused as one too many; raised at most
    // once per RefusalReportIntervalMs for each address.
    void clientRefused(const QByteArray &address);
    // The connection's name was looked up for the first time, or changed.
    void clientNamed(const platform::ConnectionPtr &connection);

private:
    friend class Connection;
    void acceptPending();
    bool admit(const QByteArray &address, int limit);
    void refuse(int fd, const QByteArray &address);
    void unwatch(Connection *connection);
    void serve(const ConnectionPtr &connection, bool onlyData);
    void setAside(const ConnectionPtr &connection);
    void watchAgain(const ConnectionPtr &connection);
    void checkSetAside();
    void handleError(Connection *connection, int code);
    void release(Connection *connection);
    ConnectionPtr find(Connection *connection) const;
    void lookUpName(const ConnectionPtr &connection);

    // How a lookup thread hands its answer back: cut off when the server
    // goes. With it, the lookups of each address: one at a time, its name
    // kept for the connections that come after (see connectionnames.cpp).
    struct AddressLookup
    {
        std::vector<std::weak_ptr<Connection>> waiting;
        bool queued = false;
        QByteArray name;
        qint64 at = -1;
    };
    struct NameRelay
    {
        std::mutex mutex;
        TcpServer *server = nullptr;
        QHash<QByteArray, AddressLookup> addresses;
    };
    void queueLookup(const QByteArray &address);
    std::shared_ptr<NameRelay> m_nameRelay;

    int m_fd = -1;
    QSocketNotifier *m_acceptNotifier = nullptr;
    // The system's notification of ready connections (sockets.h).
    std::unique_ptr<sockets::ReadyWatch> m_readiness;
    std::vector<ConnectionPtr> m_connections;
    QHash<quint64, ConnectionPtr> m_watched;
    quint64 m_lastKey = 0;
    // Connections taken out of the watch set while their reads are held.
    std::vector<quint64> m_setAside;
    QTimer *m_setAsideTimer = nullptr;
    QHash<QByteArray, int> m_perAddress;
    int m_perAddressLimit = ConnectionsPerAddress;
    int m_totalLimit = 0;
    int m_descriptorsAtListen = 0;
    Clock m_clock;
    QHash<QByteArray, qint64> m_lastRefusalReport;
};

} // namespace platform
