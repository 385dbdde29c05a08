// A picture fitted to its place and decoded as it arrives: the pixels are
// those of Qt's smooth scaling of what the decoder's own scaling gives, and in
// pieces a picture ends as it does whole.
#include "link/jpegimage.h"
#include "support/jpegsamples.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <algorithm>

using namespace jpegsamples;

class JpegFitTest : public QObject
{
    Q_OBJECT
private slots:
    // Fitted to its place: the decoder scales down by a power of two, and the
    // rest of the way is averaged over the area each pixel covers, row by row
    // as the rows come (or, past a quarter or to enlarge, scaled at the end).
    void fitsPicturesToTheirPlace_data()
    {
        QTest::addColumn<QByteArray>("jpeg");
        QTest::addColumn<QSize>("bound");
        QTest::addColumn<bool>("enlarge");
        QTest::addColumn<QSize>("fitted");

        const QImage screen = detailedPicture(1920, 1080);
        const QByteArray hd = jpegimage::encode(screen, 90);
        QTest::newRow("1080p into the screen tab")
                << hd << QSize(780, 500) << false << QSize(780, 438);
        QTest::newRow("1080p into a tile") << hd << QSize(230, 140) << true << QSize(230, 129);
        QTest::newRow("1080p, a pixel narrower")
                << hd << QSize(1919, 1080) << false << QSize(1919, 1079);
        QTest::newRow("by one and a half, to odd sizes")
                << jpegimage::encode(detailedPicture(1000, 680), 90) << QSize(333, 300) << false
                << QSize(333, 226);
        QTest::newRow("one row high") << jpegimage::encode(detailedPicture(1000, 8), 90)
                                      << QSize(100, 100) << false << QSize(100, 1);
        EncodeOptions options;
        options.samples = Samples::Grey;
        QTest::newRow("grey") << encodeWith(detailedPicture(640, 480), options) << QSize(500, 500)
                              << false << QSize(500, 375);
        options.samples = Samples::Cmyk;
        QTest::newRow("Adobe CMYK") << encodeWith(detailedPicture(640, 480), options)
                                    << QSize(500, 500) << false << QSize(500, 375);
        // An eighth from the decoder leaves 80 x 60, more than four times 15 x 11.
        QTest::newRow("past a quarter after the decoder")
                << jpegimage::encode(detailedPicture(640, 480), 90) << QSize(15, 15) << true
                << QSize(15, 11);
        const QByteArray small = jpegimage::encode(detailedPicture(64, 48), 90);
        QTest::newRow("smaller, enlarged") << small << QSize(200, 200) << true << QSize(200, 150);
        QTest::newRow("smaller, kept") << small << QSize(200, 200) << false << QSize(64, 48);
    }

    void fitsPicturesToTheirPlace()
    {
        QFETCH(QByteArray, jpeg);
        QFETCH(QSize, bound);
        QFETCH(bool, enlarge);
        QFETCH(QSize, fitted);

        jpegimage::ArrivingPicture whole(bound, enlarge);
        whole.feed(jpeg, true);
        const QImage image = whole.take();
        QCOMPARE(image.size(), fitted);
        QCOMPARE(image.format(), QImage::Format_RGB32);
        QCOMPARE(whole.fullSize(), jpegimage::decode(jpeg).size());

        // As Qt's smooth scaling fits what the decoder's own scaling gave.
        const QSize full = whole.fullSize();
        int denom = 8;
        while (denom > 1
               && (full.width() / denom < fitted.width()
                   || full.height() / denom < fitted.height()))
            denom /= 2;
        const QImage decoded
                = jpegimage::decodeWithin(jpeg, QSize((full.width() + denom - 1) / denom,
                                                      (full.height() + denom - 1) / denom));
        const QImage expected
                = decoded.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        // Qt's sums round down and in steps of their own: a channel may differ
        // by a few, on the whole by less than one.
        int worst = 0;
        qint64 total = 0;
        for (int y = 0; y < fitted.height(); ++y)
            for (int x = 0; x < fitted.width(); ++x) {
                const QRgb got = image.pixel(x, y);
                const QRgb want = expected.pixel(x, y);
                QCOMPARE(qAlpha(got), 255);
                for (const int off : {qRed(got) - qRed(want), qGreen(got) - qGreen(want),
                                      qBlue(got) - qBlue(want)}) {
                    worst = std::max(worst, qAbs(off));
                    total += qAbs(off);
                }
            }
        const double mean = double(total) / (3.0 * fitted.width() * fitted.height());
        QVERIFY2(worst <= 3 && mean < 1.0,
                 qPrintable(QStringLiteral("channels up to %1 off, %2 on average")
                                    .arg(worst)
                                    .arg(mean)));

        // The same pixels when it arrives piece by piece.
        QCOMPARE(decodeArriving(jpeg, nullptr, bound, enlarge), image);
    }

    // The fuzzer's seeds, among them damaged pictures once refused in pieces
    // where they passed whole: in pieces each ends as it does whole, shown
    // (a sound one with the same pixels) or refused for the same reason.
    void endsInPiecesAsWhole_data()
    {
        QTest::addColumn<QByteArray>("jpeg");
        const QDir samples(QStringLiteral(DOCENTOR_JPEG_SAMPLES));
        const QStringList names = samples.entryList(QDir::Files, QDir::Name);
        QVERIFY2(names.contains(QStringLiteral("damaged_code_passes_whole.jpg")),
                 qPrintable(samples.path()));
        for (const QString &name : names) {
            QFile file(samples.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QTest::newRow(qPrintable(name)) << file.readAll();
        }
    }

    void endsInPiecesAsWhole()
    {
        QFETCH(QByteArray, jpeg);
        QString error;
        const QImage image = jpegimage::decode(jpeg, &error);
        QString arrivingError;
        const QImage arrived = decodeArriving(jpeg, &arrivingError);
        QCOMPARE(arrived.isNull(), image.isNull());
        QCOMPARE(arrived.size(), image.size());
        QCOMPARE(arrivingError, error);
        // The library reads coded data by a fast route when much of it is in
        // and by a careful one otherwise, which read some damage differently:
        // the pixels of a damaged picture it lets pass may differ.
        if (!QTest::currentDataTag() || !QByteArray(QTest::currentDataTag()).startsWith("damaged"))
            QCOMPARE(arrived, image);
    }
};

QTEST_GUILESS_MAIN(JpegFitTest)
#include "test_jpegfit.moc"
