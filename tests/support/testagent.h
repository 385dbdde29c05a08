#pragma once

#include "link/packet.h"

#include <QByteArray>
#include <QTcpSocket>

// A student agent for tests: a real TCP connection to the console on
// 127.0.0.1. Everything it sends goes out in one write, as an agent sends a
// packet; what the console sends is collected as it arrives.
class TestAgent
{
public:
    TestAgent() = default;
    ~TestAgent();

    bool connectTo(quint16 port, int timeoutMs = 5000);
    quint16 localPort() const { return m_socket.localPort(); }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }

    // Writes the bytes and waits until the system has taken them all.
    void send(const QByteArray &bytes);
    // A packet text with the pass value and the given fields.
    static QByteArray packetText(qint32 number, qint32 command, qint32 flag, qint32 streamSize = 0,
                                 const QByteArray &bufor = {}, qint32 pass = packet::PassValue);
    void sendPacket(qint32 number, qint32 command, qint32 flag, qint32 streamSize = 0,
                    const QByteArray &bufor = {});

    // Waits (running the event loop) until at least count bytes have
    // arrived in all; false on time-out.
    bool waitForBytes(qsizetype count, int timeoutMs = 5000);
    // Waits for one more packet text and decodes it; false on time-out.
    bool waitForPacket(PacketRecord &packet, int timeoutMs = 5000);
    // Everything received so far that no waitForPacket has taken.
    QByteArray received() const { return m_buffer; }
    void clearReceived() { m_buffer.clear(); }

    void close();
    void abort(); // a reset, not an orderly close
    QTcpSocket &socket() { return m_socket; }

private:
    void pump();
    QTcpSocket m_socket;
    QByteArray m_buffer;
};
