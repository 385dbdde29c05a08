#pragma once

#include "link/packet.h"
#include "options.h"
#include "processtable.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

namespace agentsim {

// Splits what the console sent into packet texts (each with its closing "|").
// The console writes a packet in one piece, yet two may arrive together; every
// packet of the console begins with the pass value, so a packet ends at the
// first "|<pass>|" from its ninth "|" on, or at the end of what has arrived.
// Texts with fewer than nine "|" stay in the inbox until the rest comes.
QList<QByteArray> takePackets(QByteArray &inbox);

// One simulated student computer: one connection to the console, answering as
// an agent does.
class Student : public QObject
{
    Q_OBJECT
public:
    Student(int number, const Options &options, QObject *parent = nullptr);

    const QString &name() const { return m_name; }
    void start();
    // Closes the connection (or gives up connecting) for good.
    void stop();
    bool isDone() const { return m_done; }
    bool hasConnected() const { return m_everConnected; }

signals:
    // Disconnected, or failed to connect, and not coming back.
    void done();

private:
    enum class StreamMode { Whole, Slow, HalfThenClose };
    struct Outgoing
    {
        enum Kind { Packet, Stream, Close } kind = Packet;
        PacketRecord packet;  // Packet
        QByteArray bytes;     // Stream: what goes on the wire
        qint32 announced = 0; // Stream
        StreamMode mode = StreamMode::Whole;
        QString summary; // Stream: extra words of its output line; Close: the reason
        int gapAfterMs = 0;
        QDeadlineTimer notBefore; // expired unless the item must wait for something
    };

    void connectNow();
    void onConnected();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    void onReadyRead();
    void onBytesWritten();
    void endSession();

    void handle(const PacketRecord &command);
    void answerStatus(const QString &text, quint32 processId = 0, const QByteArray &procName = {});
    void runProgram(const PacketRecord &command);
    void answerMessage(const PacketRecord &command);
    void sendProcessList();
    void sendScreen();
    void enqueuePacket(qint32 command, qint32 flag, qint32 streamSize = 0,
                       const QByteArray &bufor = {}, quint32 processId = 0,
                       const QByteArray &procName = {}, int gapAfterMs = -1,
                       QDeadlineTimer notBefore = {});
    void enqueueStream(qint32 command, qint32 flag, QByteArray data, const QString &kind,
                       const QString &summary, QDeadlineTimer notBefore = {});

    void pump();
    void writePacket(Outgoing &item);
    void writeStream(Outgoing &item);
    void trickle();
    void afterDrain(std::function<void()> next);
    void finishItem(int gapMs);
    qint32 nextNumber();

    void say(const QString &text) const;

    const Options &m_options;
    const int m_number;
    const QString m_name;
    const Faults m_faults;
    ProcessTable m_processes;
    QRandomGenerator m_random;

    QPointer<QTcpSocket> m_socket;
    bool m_connectedNow = false;
    bool m_everConnected = false;
    bool m_stopping = false;
    bool m_done = false;
    int m_session = 0; // bumped per connection, so late timers of an old one do nothing
    QByteArray m_inbox;

    QList<Outgoing> m_queue;
    bool m_busy = false;
    std::function<void()> m_afterDrain;
    QTimer m_gapTimer;
    static constexpr int TrickleTickMs = 100;
    QTimer m_trickleTimer;
    QTimer m_retryTimer;
    QByteArray m_trickleLeft;
    Outgoing m_trickling;

    qint32 m_nextNumber;
    qint32 m_lastSent = 0;
    qint32 m_lastConsoleNumber = 0;
    int m_shots = 0;
};

} // namespace agentsim
