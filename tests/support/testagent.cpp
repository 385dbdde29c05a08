#include "support/testagent.h"

#include "platform/hostinfo.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

TestAgent::~TestAgent()
{
    m_socket.abort();
}

bool TestAgent::connectTo(quint16 port, int timeoutMs)
{
    m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    return m_socket.waitForConnected(timeoutMs);
}

void TestAgent::send(const QByteArray &bytes)
{
    m_socket.write(bytes);
    while (m_socket.bytesToWrite() > 0) {
        if (!m_socket.waitForBytesWritten(5000))
            break;
    }
}

QByteArray TestAgent::packetText(qint32 number, qint32 command, qint32 flag, qint32 streamSize,
                                 const QByteArray &bufor, qint32 pass)
{
    PacketRecord p;
    p.Pass = pass;
    p.iPacketNo = number;
    p.iCommand = command;
    p.iFlag = flag;
    p.StreamSize = streamSize;
    packet::setFieldText(p.Bufor, bufor);
    return FormatPacketText(p);
}

void TestAgent::sendPacket(qint32 number, qint32 command, qint32 flag, qint32 streamSize,
                           const QByteArray &bufor)
{
    send(packetText(number, command, flag, streamSize, bufor));
}

void TestAgent::pump()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (m_socket.bytesAvailable() == 0)
        m_socket.waitForReadyRead(5);
    m_buffer += m_socket.readAll();
}

bool TestAgent::waitForBytes(qsizetype count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_buffer.size() < count) {
        if (deadline.hasExpired())
            return false;
        pump();
    }
    return true;
}

bool TestAgent::waitForPacket(PacketRecord &p, int timeoutMs)
{
    // A packet text is nine fields, each closed by "|"; the console sends one
    // packet at a time and tests wait for each, so nine separators end one.
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        int bars = 0;
        qsizetype end = -1;
        for (qsizetype i = 0; i < m_buffer.size(); ++i) {
            if (m_buffer[i] == '|' && ++bars == 9) {
                end = i + 1;
                break;
            }
        }
        if (end > 0) {
            p = PacketRecord{};
            ParsePacketText(m_buffer.left(end - 1), p);
            m_buffer.remove(0, end);
            return true;
        }
        if (deadline.hasExpired())
            return false;
        pump();
    }
}

void TestAgent::close()
{
    m_socket.disconnectFromHost();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.waitForDisconnected(2000);
}

void TestAgent::abort()
{
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // SO_LINGER 0 makes the close a reset.
    platform::resetOnClose(m_socket.socketDescriptor());
    m_socket.abort();
}
