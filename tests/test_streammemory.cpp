// What the receptions hold in memory, without any window: the budget of
// all streams in flight together, and the large buffers and pictures given
// back or kept for the next.
#include "link/jpegimage.h"
#include "link/streambuffers.h"
#include "link/streamreception.h"
#include "support/samples.h"
#include "support/streamlink.h"

#include <QRandomGenerator>
#include <QTest>

#ifdef __GLIBC__
#include <malloc.h>
#endif

using namespace streamlink;

namespace {

// A picture of noise, large in bytes: a different one for each seed.
QByteArray noisyJpeg(int width, int height, quint32 seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto *row = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = 0xFF000000u | random.bounded(0x1000000u);
    }
    return jpegimage::encode(image, 90);
}

} // namespace

class StreamMemoryTest : public QObject
{
    Q_OBJECT
private slots:
    void budgetInFlight_data()
    {
        QTest::addColumn<bool>("firstOverview");
        QTest::addColumn<int>("firstKiB");
        QTest::addColumn<bool>("secondOverview");
        QTest::addColumn<bool>("secondKept");
        // The first is read into a buffer a stream of its size had before.
        QTest::addColumn<bool>("reused");
        // A budget of 2 MiB, the overview's share 1 MiB; the second 800 KiB.
        QTest::newRow("the overview's past its share") << true << 800 << true << false << false;
        QTest::newRow("the teacher's beside the overview's")
                << true << 800 << false << true << false;
        QTest::newRow("the overview's beside the teacher's")
                << false << 800 << true << true << false;
        QTest::newRow("the overview's past the whole budget")
                << false << 1536 << true << false << false;
        QTest::newRow("the same, the first in a buffer read into before")
                << false << 1536 << true << false << true;
    }

    // All receptions together keep at most the budget, the overview's at
    // most their share: a stream that finds no room is read off and dropped,
    // and what a reception held is given back when it ends.
    void budgetInFlight()
    {
        QFETCH(bool, firstOverview);
        QFETCH(int, firstKiB);
        QFETCH(bool, secondOverview);
        QFETCH(bool, secondKept);
        QFETCH(bool, reused);
        constexpr qint64 MiB = 1024 * 1024;
        StreamReception::setBudget({2 * MiB, MiB});
        Link first;
        Link second;
        QVERIFY(first.connect() && second.connect());
        const QByteArray stream = noise(800 * 1024);
        const QByteArray firstStream = noise(firstKiB * 1024);
        auto start = [](Reports &reports, Link &link, qint64 size, bool overview) {
            reports.reception = std::make_unique<StreamReception>(
                    link.connection, qint32(size), Kind::ProcessList, Quick,
                    StreamReception::Limits{StreamReception::Limits{}.memory, overview});
            QObject::connect(reports.reception.get(), &StreamReception::finished,
                             reports.reception.get(),
                             [&reports](const StreamReception::Result &r) { reports.result = r; });
            reports.reception->start();
        };
        Reports held;
        Reports other;
        if (reused) {
            Reports before;
            start(before, first, firstStream.size(), firstOverview);
            first.agent->send(firstStream);
            QVERIFY(before.finished());
            QVERIFY(streambuffers::idle().bytes >= firstStream.size());
        }

        start(held, first, firstStream.size(), firstOverview);
        first.agent->send(firstStream.left(firstStream.size() - 1));
        QTRY_COMPARE(StreamReception::bytesInFlight(), firstStream.size());
        start(other, second, stream.size(), secondOverview);
        second.agent->send(stream);
        QVERIFY(other.finished());
        first.agent->send(firstStream.right(1));
        QVERIFY(held.finished());
        StreamReception::setBudget({});

        QCOMPARE(other.result->received, stream.size());
        QCOMPARE(other.result->complete, secondKept);
        QCOMPARE(other.result->kept, secondKept ? stream.size() : 0);
        QVERIFY(held.result->complete);
        QCOMPARE(StreamReception::bytesInFlight(), 0);
    }

    // A full-size picture decoded on a reception's thread and let go on this
    // one leaves no memory behind, however many come: the console shows a
    // teacher's picture every few minutes for hours.
    void picturesGiveTheirMemoryBack()
    {
#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__)
        QSKIP("Tells only how glibc's own allocator keeps freed blocks; the sanitizers replace it");
#else
        Link link;
        QVERIFY(link.connect());
        const QByteArray jpeg = jpegBytes(quarteredPicture(1920, 1080));
        const qint64 before = qint64(mallinfo2().arena);
        for (int i = 0; i < 4; ++i) {
            Reports reports;
            reports.start(link, int(jpeg.size()), Kind::ScreenPicture);
            link.agent->send(jpeg);
            QVERIFY(reports.finished());
            QCOMPARE(reports.result->picture.size(), QSize(1920, 1080));
        }
        const qint64 kept = qint64(mallinfo2().arena) - before;
        QVERIFY2(kept < 4 * 1024 * 1024, qPrintable(QString::number(kept)));
#endif
    }

    // A large stream's buffer is read into again once its bytes are let go,
    // and nothing of the stream before shows through in the next; however
    // many and however large the streams, the buffers kept idle stay within
    // their bound.
    void buffersReused_data()
    {
        QTest::addColumn<QList<QByteArray>>("streams");
        QTest::addColumn<bool>("reused"); // each in the buffer of the one before
        QTest::addColumn<bool>("held");   // all kept until the last has come
        QByteArray one = noisyJpeg(1600, 1200, 1);
        QByteArray two = noisyJpeg(1600, 1200, 2);
        QVERIFY(std::min(one.size(), two.size()) > streambuffers::Large);
        if (two.size() > one.size())
            std::swap(one, two);
        QTest::newRow("a smaller picture after a larger one") << QList{one, two} << true << false;
        // A 1080p screen's picture: under a megabyte.
        QTest::newRow("two streams the size of a full-HD screen's")
                << QList{noise(850 * 1024), noise(840 * 1024)} << true << false;
        // The first's bytes still lie beyond the second's end in the buffer.
        QTest::newRow("a picture cut short, announced so, after the whole one")
                << QList{one, one.left(one.size() * 7 / 8)} << true << false;
        QList<QByteArray> alike;
        for (int i = 0; i < streambuffers::Watched + 4; ++i)
            alike << noise(int(streambuffers::Large) + 4096 * i);
        QTest::newRow("twelve streams held at once, then let go") << alike << false << true;
        QList<QByteArray> growing;
        for (double size = streambuffers::Large; size < 24 * streambuffers::Large; size *= 1.4)
            growing << noise(int(size) + 512);
        QTest::newRow("streams each 1.4 times larger") << growing << false << false;
    }

    void buffersReused()
    {
        QFETCH(QList<QByteArray>, streams);
        QFETCH(bool, reused);
        QFETCH(bool, held);
        streambuffers::releaseIdle(0); // none left over from the rows before
        Link link;
        QVERIFY(link.connect());
        quintptr before = 0;
        QList<StreamReception::Result> kept;
        for (const QByteArray &stream : streams) {
            Reports reports;
            reports.start(link, int(stream.size()), Kind::ScreenPicture);
            link.agent->send(stream);
            QVERIFY(reports.finished());
            const StreamReception::Result &r = *reports.result;
            QVERIFY(r.complete);
            QCOMPARE(r.jpeg, jpegimage::pictureBytes(stream));
            const QImage alone = jpegimage::decode(stream);
            QCOMPARE(r.picture.isNull(), alone.isNull());
            QCOMPARE(r.picture, alone);
            const auto at = quintptr(r.jpeg.constData());
            if (reused && before)
                QCOMPARE(at, before);
            before = at;
            if (held)
                kept << r;
            const streambuffers::Idle idle = streambuffers::idle();
            QVERIFY(idle.buffers <= streambuffers::Watched);
            QVERIFY2(idle.bytes <= streambuffers::WatchedBytes,
                     qPrintable(QString::number(idle.bytes)));
        }
        // Let go by all, the last one too is kept for the next.
        kept.clear();
        const streambuffers::Idle idle = streambuffers::idle();
        QVERIFY(idle.buffers >= 1);
        QVERIFY(idle.buffers <= streambuffers::Watched);
        QVERIFY2(idle.bytes <= streambuffers::WatchedBytes,
                 qPrintable(QString::number(idle.bytes)));
        // Kept while pictures may still come; given back once quiet.
        streambuffers::releaseIdle(60000);
        QCOMPARE(streambuffers::idle().buffers, idle.buffers);
        streambuffers::releaseIdle(0);
        QCOMPARE(streambuffers::idle().buffers, 0);
    }
};

QTEST_GUILESS_MAIN(StreamMemoryTest)
#include "test_streammemory.moc"
