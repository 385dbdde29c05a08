// Data left unread while a connection's reads are held: the event loop is
// not woken for it again and again, and it is told at once when reads
// resume.
#include "platform/tcpserver.h"
#include "support/rawsocket.h"
#include "support/serverevents.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <atomic>
#include <chrono>
#include <thread>

using namespace serverevents;

namespace {

// Counts how often the event loop is woken by a socket, for as long as it lives.
class WakeupCounter : public QObject
{
public:
    WakeupCounter() { QCoreApplication::instance()->installEventFilter(this); }
    ~WakeupCounter() override { QCoreApplication::instance()->removeEventFilter(this); }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::SockAct)
            ++count;
        return false;
    }
    int count = 0;
};

// A read handler that takes everything waiting.
void readAll(TcpServer &server, QByteArray &got, int &notified)
{
    QObject::connect(&server, &TcpServer::clientRead, &server, [&](const ConnectionPtr &c) {
        ++notified;
        char buffer[100];
        qint64 n;
        while ((n = c->receive(buffer, sizeof buffer)) > 0)
            got.append(buffer, n);
    });
}

} // namespace

class TcpReadsTest : public QObject
{
    Q_OBJECT
private slots:
    void dataLeftUnreadDoesNotSpin();
    void dataReadByWorkerDoesNotSpin();
    void resumeReadsReportsWaitingDataAtOnce_data();
    void resumeReadsReportsWaitingDataAtOnce();
};

void TcpReadsTest::dataLeftUnreadDoesNotSpin()
{
    TcpServer server;
    QVERIFY(server.listen(0));
    Client client(server.localPort());
    QTRY_COMPARE(server.activeConnections(), 1);
    const ConnectionPtr c = server.connection(0);
    Client other(server.localPort());
    QTRY_COMPARE(server.activeConnections(), 2);
    int notified = 0;
    QByteArray got;
    readAll(server, got, notified);

    server.holdReads(c); // as while its stream is received
    WakeupCounter wakeups;
    QVERIFY(client.write("czeka"));
    QTRY_COMPARE(c->bytesWaiting(), qint64(5));
    // Only that connection waits: another one's data is read meanwhile.
    QVERIFY(other.write("inny"));
    QTRY_COMPARE(got, QByteArray("inny"));
    // Half a second of data left waiting: not reported, and the event loop
    // is not woken on every turn.
    QTest::qWait(500);
    QCOMPARE(notified, 1);
    QVERIFY2(wakeups.count <= 50, qPrintable(QString::number(wakeups.count)));
    QCOMPARE(c->bytesWaiting(), qint64(5));

    server.resumeReads(c);
    QTRY_COMPARE(got, QByteArray("innyczeka"));
    QVERIFY(!TcpServer::readsHeld(c));
}

void TcpReadsTest::dataReadByWorkerDoesNotSpin()
{
    TcpServer server;
    QVERIFY(server.listen(0));
    Recorder events(server);
    Client client(server.localPort());
    QTRY_COMPARE(server.activeConnections(), 1);
    const ConnectionPtr c = server.connection(0);
    int notified = 0;
    QObject::connect(&server, &TcpServer::clientRead, &server,
                     [&](const ConnectionPtr &) { ++notified; });

    // A reader that takes the stream in small pieces, as the stream receiver
    // does: the stream waits in the connection nearly all the time.
    server.holdReads(c);
    WakeupCounter wakeups;
    constexpr qsizetype Total = 2 * 1024 * 1024;
    std::atomic<bool> done{false};
    QByteArray received;
    std::thread worker([&] {
        char buffer[100];
        while (received.size() < Total) {
            const qint64 n = c->receive(buffer, sizeof buffer);
            if (n > 0)
                received.append(buffer, n);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        done = true;
    });
    QElapsedTimer elapsed;
    elapsed.start();
    std::thread sender([&] { client.write(QByteArray(Total, 's')); });
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 60000);
    worker.join();
    sender.join();
    const qint64 ms = elapsed.elapsed();
    QCOMPARE(received.size(), Total);
    QCOMPARE(notified, 0);
    // The data waiting for the worker wakes the event loop now and then, not
    // on every turn.
    QVERIFY2(wakeups.count <= 20 + ms / 10,
             qPrintable(QStringLiteral("%1 wake-ups in %2 ms").arg(wakeups.count).arg(ms)));

    // Its computer leaves: told while reads are still held, now that the
    // worker has taken all it sent.
    client.close();
    QTRY_COMPARE(int(events.closing.size()), 1);
    QVERIFY(TcpServer::readsHeld(c));
    QCOMPARE(server.activeConnections(), 0);
}

void TcpReadsTest::resumeReadsReportsWaitingDataAtOnce_data()
{
    QTest::addColumn<bool>("leavesInTheHold");
    QTest::newRow("computer leaves while its stream is received") << true;
    // The hold's end watches the connection as before it: what comes after
    // it and the end are reported as they come.
    QTest::newRow("computer sends more and leaves after the hold") << false;
}

void TcpReadsTest::resumeReadsReportsWaitingDataAtOnce()
{
    QFETCH(bool, leavesInTheHold);
    TcpServer server;
    QVERIFY(server.listen(0));
    Recorder events(server);
    Client client(server.localPort());
    QTRY_COMPARE(server.activeConnections(), 1);
    const ConnectionPtr c = server.connection(0);
    int notified = 0;
    QByteArray got;
    readAll(server, got, notified);
    QList<QByteArray> gotAtClose;
    QObject::connect(&server, &TcpServer::clientDisconnect, &server,
                     [&](const ConnectionPtr &) { gotAtClose << got; });

    // The computer sends its last packet and leaves while the stream is
    // received: the packet is not lost to its end.
    server.holdReads(c);
    QVERIFY(client.write("po strumieniu"));
    if (leavesInTheHold)
        client.close();
    QTRY_COMPARE(c->bytesWaiting(), qint64(13));
    // Long enough for the held connection to be looked at a few times.
    QTest::qWait(3 * TcpServer::HeldConnectionCheckMs);
    QCOMPARE(notified, 0);
    QVERIFY(events.closing.empty());

    // The stream has ended: the waiting data is reported on the next turns
    // of the event loop, without waiting for a pause to run out, and then
    // the end.
    server.resumeReads(c);
    for (int i = 0; i < 10 && got.isEmpty(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCOMPARE(got, QByteArray("po strumieniu"));
    if (!leavesInTheHold) {
        QVERIFY(client.write(" i dalej"));
        QTRY_COMPARE(got, QByteArray("po strumieniu i dalej"));
        client.close();
    }
    QTRY_COMPARE(int(events.closing.size()), 1);
    QCOMPARE(gotAtClose,
             QList<QByteArray>{leavesInTheHold ? "po strumieniu" : "po strumieniu i dalej"});
}

QTEST_GUILESS_MAIN(TcpReadsTest)
#include "test_tcpreads.moc"
