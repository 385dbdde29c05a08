#pragma once

// The student agent simulator run by a test: the real executable against a
// listening socket of the test on 127.0.0.1, seen from the console's side of
// the wire.
#include "link/jpegimage.h"
#include "link/packet.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

namespace simulated {

constexpr int WaitMs = 20000;

inline QString simulatorPath()
{
    QString build = qEnvironmentVariable("DOCENTOR_BINARY_DIR");
    if (build.isEmpty())
        build = QCoreApplication::applicationDirPath() + QStringLiteral("/..");
    return QDir(build).filePath(QStringLiteral("tools/agentsim/docentor-agentsim"));
}

// One connection as the console sees it.
struct Peer
{
    QTcpSocket *socket = nullptr;
    QByteArray data; // received and not yet taken
    int reads = 0;   // read notifications that brought bytes
    bool closed = false;
};

// The simulator process and the console end of its connections.
class SimulatorRun
{
public:
    ~SimulatorRun()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        // The sockets belong to the server, which outlives the peers: a
        // socket closing in its destructor must not write to a freed peer.
        for (auto &p : m_peers)
            QObject::disconnect(p->socket, nullptr, nullptr, nullptr);
    }

    // Starts the simulator with students students and waits until each has
    // connected and said so.
    bool start(const QStringList &args, int students = 1, bool listen = true)
    {
        quint16 port = 0;
        if (listen) {
            if (!m_server.listen(QHostAddress::LocalHost, 0))
                return false;
            port = m_server.serverPort();
            QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
                while (QTcpSocket *s = m_server.nextPendingConnection())
                    adopt(s);
            });
        } else {
            // A port that was free a moment ago: nobody listens there.
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return false;
            port = probe.serverPort();
        }
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_server,
                         [this] { readOutput(); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(simulatorPath(),
                        QStringList{QStringLiteral("--port"), QString::number(port),
                                    QStringLiteral("--students"), QString::number(students),
                                    QStringLiteral("--connect-interval"), QStringLiteral("0")}
                                + args);
        if (!m_process.waitForStarted(WaitMs))
            return false;
        if (!listen)
            return true;
        return QTest::qWaitFor(
                [&] {
                    return int(m_peers.size()) == students
                           && linesMatching(QStringLiteral(" connected ")).size() == students;
                },
                WaitMs);
    }

    QStringList lines() const { return m_lines; }
    QStringList linesMatching(const QString &part) const { return m_lines.filter(part); }
    bool waitForLine(const QString &part, QString *line = nullptr)
    {
        const bool found = QTest::qWaitFor([&] { return !linesMatching(part).isEmpty(); }, WaitMs);
        if (found && line)
            *line = linesMatching(part).constFirst();
        return found;
    }

    int peerCount() const { return int(m_peers.size()); }
    Peer &peerAt(int i) { return *m_peers[size_t(i)]; }

    // The connection of the student with this name, found by the local port it printed.
    Peer *peer(const QString &name)
    {
        static const QRegularExpression portText(QStringLiteral("local-port=(\\d+)"));
        for (const QString &line : linesMatching(name + QStringLiteral(" connected "))) {
            const quint16 port = quint16(portText.match(line).captured(1).toUInt());
            for (auto &p : m_peers) {
                if (p->socket->peerPort() == port)
                    return p.get();
            }
        }
        return nullptr;
    }

    static void send(Peer &peer, qint32 number, qint32 command, qint32 flag, quint32 processId = 0,
                     const QByteArray &procName = {}, const QByteArray &bufor = {})
    {
        peer.socket->write(text(number, command, flag, processId, procName, bufor));
    }

    static QByteArray text(qint32 number, qint32 command, qint32 flag, quint32 processId = 0,
                           const QByteArray &procName = {}, const QByteArray &bufor = {})
    {
        PacketRecord p;
        p.Pass = packet::PassValue;
        p.iPacketNo = number;
        p.iCommand = command;
        p.iFlag = flag;
        p.ProcID = processId;
        packet::setFieldText(p.ProcName, procName);
        packet::setFieldText(p.Bufor, bufor);
        return FormatPacketText(p);
    }

    // One packet text of the agent (its texts hold no "|"), closing "|" dropped.
    static bool takePacket(Peer &peer, PacketRecord &p)
    {
        qsizetype end = -1;
        const bool whole = QTest::qWaitFor(
                [&] {
                    int bars = 0;
                    for (qsizetype i = 0; i < peer.data.size(); ++i) {
                        if (peer.data[i] == '|' && ++bars == 9) {
                            end = i;
                            return true;
                        }
                    }
                    return false;
                },
                WaitMs);
        if (!whole)
            return false;
        p = PacketRecord{};
        ParsePacketText(peer.data.left(end), p);
        peer.data.remove(0, end + 1);
        return true;
    }

    static bool takeBytes(Peer &peer, qsizetype count, QByteArray &bytes)
    {
        if (!QTest::qWaitFor([&] { return peer.data.size() >= count; }, WaitMs))
            return false;
        bytes = peer.data.left(count);
        peer.data.remove(0, count);
        return true;
    }

    // An announcement and the stream it announces, whole.
    static bool takeStream(Peer &peer, qint32 command, qint32 flag, QByteArray &stream)
    {
        PacketRecord p;
        if (!takePacket(peer, p) || p.iCommand != command || p.iFlag != flag || p.StreamSize < 0)
            return false;
        return takeBytes(peer, p.StreamSize, stream);
    }

    QProcess &process() { return m_process; }

    // Closes every connection, as a console that ends does, and waits for the
    // simulator to end by itself; its exit code, or -1 if it did not end well.
    int closeAllAndWait()
    {
        for (auto &p : m_peers)
            p->socket->close();
        return waitForExit();
    }

    int waitForExit()
    {
        if (m_process.state() != QProcess::NotRunning
            && !QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, WaitMs))
            return -1;
        readOutput();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    void adopt(QTcpSocket *socket)
    {
        auto peer = std::make_unique<Peer>();
        peer->socket = socket;
        Peer *raw = peer.get();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [raw] {
            const QByteArray bytes = raw->socket->readAll();
            if (!bytes.isEmpty()) {
                raw->data += bytes;
                ++raw->reads;
            }
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [raw] { raw->closed = true; });
        m_peers.push_back(std::move(peer));
    }

    void readOutput()
    {
        m_partial += m_process.readAllStandardOutput();
        qsizetype nl;
        while ((nl = m_partial.indexOf('\n')) >= 0) {
            m_lines.append(QString::fromUtf8(m_partial.left(nl)));
            m_partial.remove(0, nl + 1);
        }
    }

    QTcpServer m_server;
    QProcess m_process;
    std::vector<std::unique_ptr<Peer>> m_peers;
    QByteArray m_partial;
    QStringList m_lines;
};

inline bool encoderWorks()
{
    QImage probe(8, 8, QImage::Format_RGB32);
    probe.fill(Qt::red);
    return !jpegimage::encode(probe).isEmpty();
}

} // namespace simulated
