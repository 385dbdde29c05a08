#pragma once

// One agent and one stream reception on loopback, as the console has them
// while a stream is received: what the tests of the reception share.
#include "link/streamreception.h"
#include "platform/tcpserver.h"
#include "support/rawsocket.h"
#include "support/samples.h"

#include <QList>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <optional>

namespace streamlink {

using Kind = StreamReception::Kind;
using Timings = StreamReception::Timings;

// Most rows give up on a short stream after about a second instead of ten.
constexpr Timings Quick{20, 10, 100};

class Agent : public RawSocket
{
public:
    using RawSocket::RawSocket;
    void send(const QByteArray &bytes)
    {
        for (qsizetype done = 0; done < bytes.size();) {
            const qint64 n = sendSome(bytes.constData() + done, bytes.size() - done);
            if (n <= 0)
                return;
            done += n;
        }
    }
    // Sends what the connection takes now, without waiting.
    void offer(const QByteArray &bytes) { sendSome(bytes.constData(), bytes.size(), false); }
};

// One agent connected to a server on loopback, as the console sees it.
struct Link
{
    ClassroomNames names{QHash<QByteArray, QByteArray>{{"127.0.0.1", "SALA-1"}}};
    platform::TcpServer server;
    std::unique_ptr<Agent> agent;
    platform::ConnectionPtr connection;

    bool connect()
    {
        if (!server.listen(0))
            return false;
        QSignalSpy joined(&server, &platform::TcpServer::clientConnect);
        agent = std::make_unique<Agent>(server.localPort(), "127.0.0.1");
        if (!agent->connected() || !joined.wait(5000))
            return false;
        connection = server.connection(0);
        if (!connection)
            return false;
        // As the console does while a stream is received: the reception
        // reads, the server does not report the waiting bytes meanwhile.
        server.holdReads(connection);
        // Named, as a computer is long before its teacher asks for a stream:
        // a stream that ends first is rightly told without a name.
        return QTest::qWaitFor([&] { return connection->hostNameKnown(); }, 5000);
    }
    // Waits until the connection holds count bytes unread.
    bool holds(qint64 count)
    {
        return QTest::qWaitFor([&] { return connection->bytesWaiting() >= count; }, 5000);
    }
};

// What a reception reported, in order.
struct Reports
{
    QList<qint64> progress;
    // How often its reading was told to have ended, and how often by the
    // time its result came.
    int readingEnded = 0;
    int endedBeforeResult = -1;
    std::optional<StreamReception::Result> result;
    std::unique_ptr<StreamReception> reception;
    QSize bound; // the picture fitted into it as it arrives; empty: full size
    bool enlarge = false;

    void start(Link &link, qint32 declared, Kind kind, const Timings &timings = Quick,
               qint64 memoryLimit = StreamReception::Limits{}.memory,
               StreamReception::ReadHook hook = {})
    {
        reception = std::make_unique<StreamReception>(link.connection, declared, kind, timings,
                                                      StreamReception::Limits{memoryLimit},
                                                      std::move(hook));
        QObject::connect(reception.get(), &StreamReception::progress, reception.get(),
                         [this](qint64 received) { progress << received; });
        QObject::connect(reception.get(), &StreamReception::readingEnded, reception.get(),
                         [this] { ++readingEnded; });
        QObject::connect(reception.get(), &StreamReception::finished, reception.get(),
                         [this](const StreamReception::Result &r) {
                             endedBeforeResult = readingEnded;
                             result = r;
                         });
        reception->setPictureBound(bound, enlarge);
        reception->start();
    }
    bool finished(int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return result.has_value(); }, timeoutMs);
    }
};

// The progress reports climb to the bytes received, the last one exact.
inline bool progressClimbsTo(const QList<qint64> &progress, qint64 received)
{
    for (qsizetype i = 1; i < progress.size(); ++i)
        if (progress[i] <= progress[i - 1])
            return false;
    return received == 0 ? progress.isEmpty() : progress.value(progress.size() - 1) == received;
}

} // namespace streamlink
