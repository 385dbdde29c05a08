#pragma once

// The system's own socket calls, under the listening server and its
// connections (tcpserver.cpp, connection.cpp): sockets_posix.cpp and
// sockets_win.cpp each supply them. A socket is an int here; Windows' socket
// handles are kernel handles, which fit in 32 bits. Not for use outside
// this folder.

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class QObject;

namespace platform::sockets {

// The system's message for an error code, with the code and the failing call.
QString errorText(int code, const char *api);

// A non-blocking listener on every local IPv4 address: the socket, or -1 with
// the code and the call that failed.
int listenOn(quint16 port, int backlog, int *code, const char **api);
quint16 localPort(int fd);

// A non-blocking accepted connection and its peer: the socket, or -1 with
// code 0 when nothing (or only a connection already gone) waits.
int accept(int listener, QByteArray *address, quint16 *port, int *code);

// Counts moved, or -1 with code 0 when the call would block (or was
// interrupted), else with the error. A peek leaves the data waiting.
qint64 receive(int fd, char *data, qint64 size, bool peek, int *code);
qint64 send(int fd, const char *data, qint64 size, int *code);
qint64 bytesWaiting(int fd);
// Whether the socket became readable (writable), or failed, within ms.
bool waitFor(int fd, bool writable, int ms);
void close(int fd);
// Closed with a reset: nothing of it waits in the system for the peer's end.
void closeWithReset(int fd);

// The descriptors the process may have open, -1 without such a limit; and
// how many it has open (fallback where the system does not tell).
qint64 descriptorLimit();
int openDescriptors(int fallback);

// The readiness notification of the server's connections, by key. ready
// is raised on the owner's thread with the key of a connection that has
// data, has ended or failed; onlyData when the system tells that nothing
// but data waits.
class ReadyWatch
{
public:
    using Ready = std::function<void(quint64 key, bool onlyData)>;
    ReadyWatch(QObject *owner, Ready ready)
        : m_owner(owner)
        , m_ready(std::move(ready))
    {}
    virtual ~ReadyWatch() = default;
    // Made ready for watching: 0, or the code with the call that failed.
    virtual int open(const char **api) = 0;
    // 0, or the error code of the system that cannot watch one more.
    virtual int watch(quint64 key, int fd) = 0;
    // Not reported until resumed (or ever again, once unwatched; both before
    // the socket is closed).
    virtual void pause(quint64 key, int fd) = 0;
    virtual int resume(quint64 key, int fd) = 0;
    virtual void unwatch(quint64 key, int fd) = 0;
    // Whether the system tells of a peer's end only once, so that it is to be
    // looked for again after a handler has read.
    virtual bool endToldOnce() const = 0;

protected:
    QObject *const m_owner;
    const Ready m_ready;
};

std::unique_ptr<ReadyWatch> makeReadyWatch(QObject *owner, ReadyWatch::Ready ready);

} // namespace platform::sockets
