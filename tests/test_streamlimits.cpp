// The reception's limits, without any window: how long it waits for a
// stream's bytes, and how much of an agent's stream it reads and keeps.
#include "link/processlist.h"
#include "link/streamreception.h"
#include "support/samples.h"
#include "support/streamlink.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <atomic>
#include <thread>

using namespace streamlink;

class StreamLimitsTest : public QObject
{
    Q_OBJECT
private slots:
    void idleBudget_data()
    {
        QTest::addColumn<int>("idleSleepMs");
        QTest::addColumn<int>("idleLimit");
        QTest::addColumn<bool>("complete");
        QTest::newRow("the rest within the idle time") << 60000 << 0 << true;
        QTest::newRow("the rest after the idle time") << 10 << 4 << false;
    }

    // The stream comes in two pieces: the idle time of idleLimit + 1 rounds
    // of idleSleepMs is time, and the rest ends the wait for it at once.
    void idleBudget()
    {
        QFETCH(int, idleSleepMs);
        QFETCH(int, idleLimit);
        QFETCH(bool, complete);
        Link link;
        QVERIFY(link.connect());
        Reports reports;

        link.agent->send(QByteArray(500, 'a'));
        QVERIFY(link.holds(500));
        reports.start(link, 1000, Kind::ProcessList, {0, idleSleepMs, idleLimit});
        QVERIFY(QTest::qWaitFor([&] { return !reports.progress.isEmpty(); }, 5000));
        // Beyond the idle time the rest comes only after the reception ended.
        if (!complete)
            QVERIFY(reports.finished());
        link.agent->send(QByteArray(500, 'b'));
        QVERIFY(reports.finished(30000));

        QCOMPARE(reports.result->complete, complete);
        QCOMPARE(reports.result->received, complete ? 1000 : 500);
    }

    // The idle time counts from the last byte: a stream that trickles in
    // for twice its idle time, each piece soon after the one before, is
    // received whole.
    void idleTimeCountsFromTheLastByte()
    {
        Link link;
        QVERIFY(link.connect());
        constexpr int Piece = 100;
        constexpr int Declared = 1000 * 1000;
        const Timings timings{20, 200, 9}; // two seconds without a byte
        Reports reports;
        QElapsedTimer clock;

        clock.start();
        reports.start(link, Declared, Kind::ProcessList, timings);
        qint64 sent = 0;
        while (clock.elapsed() < 4000 && !reports.result) {
            link.agent->send(QByteArray(Piece, 'p'));
            sent += Piece;
            QVERIFY(QTest::qWaitFor(
                    [&] {
                        return reports.progress.value(reports.progress.size() - 1) >= sent
                               || reports.result;
                    },
                    5000));
        }
        link.agent->send(QByteArray(Declared - sent, 'r'));
        QVERIFY(reports.finished());

        QVERIFY(reports.result->complete);
        QCOMPARE(reports.result->received, Declared);
    }

    // A stream that never stops trickling is given up after three idle
    // times in all, however soon each piece follows the one before.
    void wholeTimeBoundsATrickle()
    {
        Link link;
        QVERIFY(link.connect());
        Reports reports;
        QElapsedTimer clock;

        clock.start();
        reports.start(link, 1000 * 1000, Kind::ProcessList, {0, 50, 1}); // 100 ms idle
        qint64 sent = 0;
        while (!reports.result && clock.elapsed() < 20000) {
            link.agent->send(QByteArray(10, 't'));
            sent += 10;
            QVERIFY(QTest::qWaitFor(
                    [&] {
                        return reports.progress.value(reports.progress.size() - 1) >= sent
                               || reports.result;
                    },
                    5000));
        }

        QVERIFY(reports.result.has_value());
        QVERIFY(!reports.result->complete);
        QVERIFY2(clock.elapsed() >= 300, qPrintable(QString::number(clock.elapsed())));
    }

    // An agent that never stops sending after the declared bytes does not
    // keep the reception, or the console's memory, for ever.
    void endlessSurplusEnds()
    {
        Link link;
        QVERIFY(link.connect());
        Reports reports;
        std::atomic<bool> stop{false};

        reports.start(link, 4, Kind::ProcessList, {20, 10, 100});
        std::thread flood([&] {
            const QByteArray block(64 * 1024, 's');
            while (!stop.load()) {
                link.agent->offer(block);
                QThread::yieldCurrentThread();
            }
        });
        const bool ended = reports.finished(60000);
        stop = true;
        link.agent->reset();
        flood.join();

        QVERIFY(ended);
        QVERIFY(!reports.result->complete);
        QVERIFY(reports.result->received > 4 + StreamReception::SurplusLimit);
        QVERIFY(reports.result->kept <= 4);
    }

    void announcedBeyondTheLimit_data()
    {
        QTest::addColumn<qint64>("memoryLimit"); // 0: the console's own
        QTest::addColumn<int>("records");
        QTest::addColumn<bool>("kept");
        QTest::newRow("beyond the memory limit") << qint64(64 * 1024) << 200 << false;
        QTest::newRow("list of 65,537 processes") << qint64(0) << 65537 << false;
        QTest::newRow("list of 65,536 processes") << qint64(0) << 65536 << true;
    }

    // A stream announced beyond what the console keeps (a list longer than
    // any computer's) is read off the connection but not kept: it ends as
    // incomplete with the bytes it received, and what follows it on the
    // connection is untouched.
    void announcedBeyondTheLimit()
    {
        QFETCH(qint64, memoryLimit);
        QFETCH(int, records);
        QFETCH(bool, kept);
        Link link;
        QVERIFY(link.connect());
        Reports reports;
        const QByteArray list = processlist::build(
                QList<processlist::ProcessEntry>(records, {"duzo.exe", "Opis", 7}));

        reports.start(link, qint32(list.size()), Kind::ProcessList, Quick,
                      memoryLimit > 0 ? memoryLimit : StreamReception::Limits{}.memory);
        link.agent->send(list);
        QVERIFY(reports.finished(30000));

        const StreamReception::Result &r = *reports.result;
        QCOMPARE(r.complete, kept);
        QCOMPARE(r.received, list.size());
        QCOMPARE(r.kept, kept ? list.size() : 0);
        QCOMPARE(r.rows.size(), kept ? records : 0);
        if (kept)
            QCOMPARE(r.rows.last().first(), QStringLiteral("duzo.exe"));
        link.agent->send("dalej");
        QVERIFY(link.holds(5));
        char next[16];
        QCOMPARE(link.connection->receive(next, sizeof next), 5);
        QCOMPARE(QByteArray(next, 5), QByteArray("dalej"));
    }

    // At the real timing: a second's pause before the first read; a short
    // stream is given up after 1001 idle rounds of 10 ms on top of it.
    void realTiming()
    {
        Link link;
        QVERIFY(link.connect());
        QElapsedTimer clock;

        Reports whole;
        clock.start();
        whole.start(link, 4, Kind::ProcessList, Timings{});
        link.agent->send(processlist::build({}));
        QVERIFY(whole.finished(30000));
        QVERIFY2(clock.elapsed() >= 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(whole.result->complete);

        Reports shortOne;
        clock.restart();
        shortOne.start(link, 61440, Kind::ScreenPicture, Timings{});
        link.agent->send(noise(61000));
        QVERIFY(shortOne.finished(60000));
        QVERIFY2(clock.elapsed() >= 1000 + 1001 * 10, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!shortOne.result->complete);
        QCOMPARE(shortOne.result->received, 61000);
    }
};

QTEST_GUILESS_MAIN(StreamLimitsTest)
#include "test_streamlimits.moc"
