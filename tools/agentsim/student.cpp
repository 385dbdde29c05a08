// The simulated student's connection: connecting and reconnecting, the
// end of a session, and what the console sends it split into packets.
// What it answers is in student_answers.cpp, how its packets and streams
// go on the wire in student_wire.cpp.
#include "student.h"

#include "output.h"

namespace agentsim {

namespace {

// Numbers of two students stay this far apart, so that the console, which
// drops a packet numbered like the last one it took from anybody, does not
// take one student's answer for a copy of another's.
constexpr qint32 NumberSpacing = 100000;
// The console never sends this much without a complete packet in it.
constexpr qsizetype InboxLimit = 64 * 1024;

} // namespace

QList<QByteArray> takePackets(QByteArray &inbox)
{
    static const QByteArray nextStart = '|' + QByteArray::number(packet::PassValue) + '|';
    QList<QByteArray> packets;
    for (;;) {
        int bars = 0;
        qsizetype ninth = -1;
        for (qsizetype i = 0; i < inbox.size(); ++i) {
            if (inbox[i] == '|' && ++bars == 9) {
                ninth = i;
                break;
            }
        }
        if (ninth < 0)
            return packets;
        const qsizetype next = inbox.indexOf(nextStart, ninth);
        const qsizetype end = next < 0 ? inbox.size() : next + 1;
        packets.append(inbox.left(end));
        inbox.remove(0, end);
    }
}

Student::Student(int number, const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_number(number)
    , m_name(options.studentName(number))
    , m_faults(options.faultsFor(number))
    , m_processes(options.syntheticProcesses, number, options.processCount)
    , m_random(options.seed * 31u + quint32(number))
    , m_nextNumber(options.firstNumber + qint32((number - 1) % 20000) * NumberSpacing)
{
    m_gapTimer.setSingleShot(true);
    connect(&m_gapTimer, &QTimer::timeout, this, [this] {
        m_busy = false;
        pump();
    });
    m_trickleTimer.setInterval(TrickleTickMs);
    connect(&m_trickleTimer, &QTimer::timeout, this, &Student::trickle);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &Student::connectNow);
}

void Student::say(const QString &text) const
{
    output::line(m_name + QLatin1Char(' ') + text);
}

void Student::start()
{
    if (!m_stopping && !m_socket)
        connectNow();
}

void Student::connectNow()
{
    if (m_stopping)
        return;
    m_connectedNow = false;
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &Student::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &Student::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &Student::onBytesWritten);
    connect(m_socket, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState)
            onDisconnected();
    });
    if (!m_options.sourceBase.isNull()) {
        // Each student its own loopback address, so the console can tell them apart.
        const QHostAddress local(m_options.sourceBase.toIPv4Address() + quint32(m_number - 1));
        if (!m_socket->bind(local, 0)) {
            say(QStringLiteral("connect-failed error=%1")
                        .arg(output::quoted(m_socket->errorString())));
            m_socket->deleteLater();
            m_socket = nullptr;
            endSession();
            return;
        }
    }
    m_socket->connectToHost(m_options.host, m_options.port);
}

void Student::onConnected()
{
    m_connectedNow = true;
    m_everConnected = true;
    ++m_session;
    m_inbox.clear();
    // Small packets go out at once instead of waiting to be merged with the next.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    say(QStringLiteral("connected local-address=%1 local-port=%2")
                .arg(m_socket->localAddress().toString())
                .arg(m_socket->localPort()));
}

void Student::onDisconnected()
{
    if (!m_socket)
        return;
    if (m_connectedNow)
        say(QStringLiteral("disconnected"));
    else if (!m_stopping) // an attempt given up on stopping failed at nothing
        say(QStringLiteral("connect-failed error=%1").arg(output::quoted(m_socket->errorString())));
    m_socket->disconnect(this);
    m_socket->deleteLater();
    m_socket = nullptr;
    endSession();
}

void Student::endSession()
{
    m_connectedNow = false;
    ++m_session;
    m_queue.clear();
    m_busy = false;
    m_afterDrain = nullptr;
    m_gapTimer.stop();
    m_trickleTimer.stop();
    m_trickleLeft.clear();
    m_inbox.clear();
    if (m_options.reconnect && !m_stopping) {
        say(QStringLiteral("reconnecting delay=%1").arg(m_options.reconnectDelayMs));
        m_retryTimer.start(m_options.reconnectDelayMs);
        return;
    }
    if (!m_done) {
        m_done = true;
        emit done();
    }
}

void Student::stop()
{
    m_stopping = true;
    m_retryTimer.stop();
    if (m_socket) {
        if (m_socket->state() == QAbstractSocket::ConnectedState) {
            // What is being written still goes out; nothing new is started.
            m_queue.clear();
            m_trickleTimer.stop();
            m_socket->disconnectFromHost();
        } else {
            m_socket->abort();
        }
        return;
    }
    if (!m_done) {
        m_done = true;
        emit done();
    }
}

void Student::onReadyRead()
{
    if (!m_socket)
        return;
    m_inbox += m_socket->readAll();
    for (QByteArray &text : takePackets(m_inbox)) {
        // The closing "|" ends Bufor; it is not part of the text.
        if (text.endsWith('|'))
            text.chop(1);
        PacketRecord command;
        ParsePacketText(text, command);
        handle(command);
        if (!m_socket)
            return;
    }
    if (m_inbox.size() > InboxLimit) {
        say(QStringLiteral("ignored reason=\"no packet in received bytes\" size=%1")
                    .arg(m_inbox.size()));
        m_inbox.clear();
    }
}

} // namespace agentsim
