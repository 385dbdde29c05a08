// The screen-picture decoder: real pictures come back whole, broken and
// hostile ones come back as a null image without a crash or a leak (the
// sanitizer build checks the latter). Every JPEG here is made by libjpeg in
// the test itself.
#include "link/jpegimage.h"
#include "support/hostilejpeg.h"
#include "support/jpegsamples.h"

#include <QColor>
#include <QRandomGenerator>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

using namespace jpegsamples;

namespace {

// The first `scans` scans of a valid progressive script for a one-component
// picture: the DC coefficient at full precision, then every AC coefficient as
// its own band at the coarsest precision libjpeg allows for 8-bit samples
// (point transform 10), then ten refinement rounds of one bit each.
// Complete, that is 1 + 63 * 11 = 694 scans, each one valid.
std::vector<jpeg_scan_info> progressiveScript(int scans)
{
    std::vector<jpeg_scan_info> script;
    auto add = [&](int ss, int se, int ah, int al) {
        if (int(script.size()) >= scans)
            return;
        jpeg_scan_info s{};
        s.comps_in_scan = 1;
        s.component_index[0] = 0;
        s.Ss = ss;
        s.Se = se;
        s.Ah = ah;
        s.Al = al;
        script.push_back(s);
    };
    add(0, 0, 0, 0);
    for (int k = 1; k < 64; ++k)
        add(k, k, 0, 10);
    for (int bit = 9; bit >= 0; --bit)
        for (int k = 1; k < 64; ++k)
            add(k, k, bit + 1, bit);
    return script;
}

// Offset of the first marker with this code, walking the segments from SOI;
// -1 when there is none before the entropy data.
int markerOffset(const QByteArray &jpeg, quint8 code)
{
    int i = 2;
    while (i + 4 <= jpeg.size() && quint8(jpeg[i]) == 0xFF) {
        const quint8 marker = quint8(jpeg[i + 1]);
        if (marker == code)
            return i;
        if (marker == 0xDA)
            return -1;
        i += 2 + (quint8(jpeg[i + 2]) << 8 | quint8(jpeg[i + 3]));
    }
    return -1;
}

// Where the entropy-coded data of the first scan begins.
int entropyStart(const QByteArray &jpeg)
{
    const int sos = markerOffset(jpeg, 0xDA);
    return sos + 2 + (quint8(jpeg[sos + 2]) << 8 | quint8(jpeg[sos + 3]));
}

// The dimensions in the frame header, rewritten.
QByteArray withDimensions(QByteArray jpeg, quint16 width, quint16 height)
{
    int sof = markerOffset(jpeg, 0xC0);
    if (sof < 0)
        sof = markerOffset(jpeg, 0xC2);
    Q_ASSERT(sof > 0);
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xFF);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xFF);
    return jpeg;
}

QByteArray baseline()
{
    static const QByteArray jpeg = jpegimage::encode(quadrantPicture(64, 48), 90);
    return jpeg;
}

QByteArray progressive(int scans)
{
    EncodeOptions options;
    options.samples = Samples::Grey;
    options.script = progressiveScript(scans);
    return encodeWith(quadrantPicture(64, 48, true), options);
}

// libjpeg's own progressive script (ten scans for colour, six for grey), as
// an agent's encoder would write it.
QByteArray usualProgressive(const QImage &image, bool grey)
{
    const QImage source
            = image.convertToFormat(grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = JDIMENSION(source.width());
    cinfo.image_height = JDIMENSION(source.height());
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(source.constScanLine(int(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray result(reinterpret_cast<const char *>(out), qsizetype(size));
    std::free(out);
    return result;
}

QByteArray segmentOf(quint8 marker, const QByteArray &body)
{
    const int length = int(body.size()) + 2;
    return QByteArray("\xFF") + char(marker) + char(length >> 8) + char(length & 0xFF) + body;
}

// Junk between two segments: the decoder skips it with a warning.
QByteArray withJunkBeforeScan(QByteArray jpeg)
{
    return jpeg.insert(markerOffset(jpeg, 0xDA), QByteArray("\x00\x11\x22", 3));
}

// A comment segment of length bytes after the start marker, which the
// decoder skips: it holds start markers, which read as markers would end
// the decoding.
QByteArray withComment(QByteArray jpeg, int length)
{
    QByteArray comment("\xFF\xFE", 2);
    comment.append(char((length + 2) >> 8)).append(char((length + 2) & 0xFF));
    for (int i = 0; i < length; ++i)
        comment.append(i % 2 ? char(0xD8) : char(0xFF));
    return jpeg.insert(2, comment);
}

// A JFIF revision the decoder does not know (it knows 1.x and 2.x).
QByteArray withJfifRevision(QByteArray jpeg, quint8 major)
{
    const int app0 = markerOffset(jpeg, 0xE0);
    Q_ASSERT(app0 == 2 && jpeg.mid(app0 + 4, 5) == QByteArray("JFIF\0", 5));
    jpeg[app0 + 9] = char(major);
    return jpeg;
}

// The JFIF segment replaced by an Adobe one with an unknown colour transform
// code: for three components the decoder then assumes YCbCr, which it is.
QByteArray withAdobeTransform(QByteArray jpeg, quint8 transform)
{
    const int app0 = markerOffset(jpeg, 0xE0);
    const int length = 2 + (quint8(jpeg[app0 + 2]) << 8 | quint8(jpeg[app0 + 3]));
    QByteArray adobe("Adobe\0\x64\0\0\0\0", 11);
    adobe += char(transform);
    return jpeg.replace(app0, length, segmentOf(0xEE, adobe));
}

} // namespace

class JpegImageTest : public QObject
{
    Q_OBJECT
private slots:
    void decodesWholePictures_data()
    {
        QTest::addColumn<QByteArray>("jpeg");
        QTest::addColumn<QImage>("expected");
        QTest::addColumn<int>("tolerance");

        const QImage picture = quadrantPicture(64, 48);
        const QImage grey = quadrantPicture(64, 48, true);
        const QImage odd = quadrantPicture(101, 57);
        QTest::newRow("encode(), quality 90") << jpegimage::encode(picture, 90) << picture << 12;
        QTest::newRow("encode(), quality 40") << jpegimage::encode(picture, 40) << picture << 24;
        QTest::newRow("encode(), odd size") << jpegimage::encode(odd, 90) << odd << 24;

        EncodeOptions options;
        options.samples = Samples::Grey;
        QTest::newRow("grey") << encodeWith(grey, options) << grey << 4;
        options.samples = Samples::Rgb;
        options.stored = JCS_RGB;
        QTest::newRow("stored as RGB") << encodeWith(picture, options) << picture << 6;
        options.samples = Samples::Cmyk;
        options.stored = JCS_UNKNOWN;
        QTest::newRow("Adobe CMYK") << encodeWith(picture, options) << picture << 6;
        options.stored = JCS_YCCK;
        QTest::newRow("Adobe YCCK") << encodeWith(picture, options) << picture << 12;
        options = {};
        options.arithmetic = true;
        QTest::newRow("arithmetic coding") << encodeWith(picture, options) << picture << 12;
        // Busy enough that its coded data spans many pieces.
        QImage busy(320, 240, QImage::Format_RGB32);
        QRandomGenerator noise(38);
        for (int y = 0; y < busy.height(); ++y)
            for (int x = 0; x < busy.width(); ++x)
                busy.setPixel(x, y, noise.generate());
        QTest::newRow("arithmetic coding, in many pieces")
                << encodeWith(busy, options) << busy << 255;
        QTest::newRow("progressive, 100 scans") << progressive(100) << grey << 6;
        QTest::newRow("progressive, 500 scans") << progressive(jpegimage::MaxScans) << grey << 6;

        // Warnings that lose nothing.
        const QByteArray good = jpegimage::encode(picture, 90);
        QTest::newRow("junk bytes before a marker") << withJunkBeforeScan(good) << picture << 12;
        QTest::newRow("JFIF revision 3.01") << withJfifRevision(good, 3) << picture << 12;
        QTest::newRow("unknown Adobe transform") << withAdobeTransform(good, 9) << picture << 12;
        QTest::newRow("a long comment") << withComment(good, 3000) << picture << 12;

        // Real screens up to 8K, progressive ones included, within every limit.
        const QImage screen8k = quadrantPicture(7680, 4320);
        QTest::newRow("8K") << jpegimage::encode(screen8k, 80) << screen8k << 12;
        QTest::newRow("8K progressive") << usualProgressive(screen8k, false) << screen8k << 12;
        const QImage grey8k = screen8k.convertToFormat(QImage::Format_Grayscale8)
                                      .convertToFormat(QImage::Format_RGB32);
        QTest::newRow("8K progressive grey") << usualProgressive(grey8k, true) << grey8k << 6;
    }

    void decodesWholePictures()
    {
        QFETCH(QByteArray, jpeg);
        QFETCH(QImage, expected);
        QFETCH(int, tolerance);
        QVERIFY(!jpeg.isEmpty());
        // What follows the end marker is no part of the picture.
        QCOMPARE(jpegimage::imageLength(jpeg + QByteArray("\xFF\xD9\0junk", 7)), jpeg.size());

        QString error = QStringLiteral("stale");
        const QImage image = jpegimage::decode(jpeg, &error);
        QVERIFY2(!image.isNull(), qPrintable(error));
        QVERIFY(error.isEmpty());
        QCOMPARE(image.size(), expected.size());
        for (int q = 0; q < 4; ++q) {
            const int x = (q % 2) * expected.width() / 2 + expected.width() / 4;
            const int y = (q / 2) * expected.height() / 2 + expected.height() / 4;
            const QColor got = image.pixelColor(x, y);
            const QColor want = expected.pixelColor(x, y);
            const int distance
                    = qMax(qAbs(got.red() - want.red()),
                           qMax(qAbs(got.green() - want.green()), qAbs(got.blue() - want.blue())));
            QVERIFY2(distance <= tolerance, qPrintable(QStringLiteral("(%1,%2): %3 instead of %4")
                                                               .arg(x)
                                                               .arg(y)
                                                               .arg(got.name(), want.name())));
        }
        // The same pixels when it arrives piece by piece, full size and fitted.
        QString arrivingError = QStringLiteral("stale");
        QCOMPARE(decodeArriving(jpeg, &arrivingError), image);
        QVERIFY(arrivingError.isEmpty());
        const QSize tile(image.width() / 5 + 1, image.height() / 5 + 1);
        QCOMPARE(decodeArriving(jpeg, nullptr, tile), jpegimage::decodeWithin(jpeg, tile));
    }

    // A large picture's block is kept for the next one, and given back once
    // no picture has come for a while.
    void largeBlocksGivenBackWhenIdle()
    {
        jpegimage::releaseIdleBlocks(0);
        const QByteArray jpeg = jpegimage::encode(quadrantPicture(1024, 768), 75);
        jpegimage::decode(jpeg); // let go at once
        QVERIFY(jpegimage::keptBlockBytes() >= size_t(1024 * 768 * 4));
        jpegimage::releaseIdleBlocks(60000);
        QVERIFY(jpegimage::keptBlockBytes() >= size_t(1024 * 768 * 4));
        jpegimage::releaseIdleBlocks(0);
        QCOMPARE(jpegimage::keptBlockBytes(), size_t(0));
    }

    void encodesBaseline()
    {
        const QByteArray jpeg = jpegimage::encode(quadrantPicture(16, 16), 75);
        QVERIFY(jpeg.startsWith("\xFF\xD8"));
        QVERIFY(jpeg.endsWith("\xFF\xD9"));
        QVERIFY(markerOffset(jpeg, 0xC0) > 0);
        QVERIFY(jpegimage::encode(QImage()).isEmpty());
    }

    void refusesBrokenAndHostileData_data()
    {
        QTest::addColumn<QByteArray>("data");
        // The reason must name this (empty: any reason) ...
        QTest::addColumn<QString>("reason");
        // ... and must not name that (empty: no check).
        QTest::addColumn<QString>("notReason");

        const QString tooLarge = QStringLiteral("larger than");
        const QString tooManyScans = QStringLiteral("scans");
        const QByteArray good = baseline();
        const int entropy = entropyStart(good);
        QVERIFY(entropy > 0 && entropy < good.size() - 20);

        QTest::newRow("empty") << QByteArray() << QString() << QString();
        QTest::newRow("one byte") << QByteArray("\xFF") << QString() << QString();
        QTest::newRow("text") << QByteArray("not a picture at all") << QString() << QString();
        QTest::newRow("PNG signature")
                << QByteArray("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16) << QString() << QString();
        QTest::newRow("SOI only") << QByteArray("\xFF\xD8") << QString() << QString();
        QTest::newRow("SOI and EOI") << QByteArray("\xFF\xD8\xFF\xD9") << QString() << QString();
        QTest::newRow("cut inside the headers") << good.left(40) << QString() << QString();
        QTest::newRow("cut after the scan header") << good.left(entropy) << QString() << QString();
        QTest::newRow("cut inside the entropy data")
                << good.left((entropy + good.size()) / 2) << QString() << QString();
        QTest::newRow("cut before EOI") << good.left(good.size() - 2) << QString() << QString();
        QTest::newRow("cut inside a long comment")
                << withComment(good, 3000).left(1500) << QString() << QString();

        QByteArray ones = good;
        for (int i = entropy + 4; i + 1 < ones.size() - 40; i += 2) {
            ones[i] = char(0xFF); // a stuffed 0xFF: eight one bits, and all-ones
            ones[i + 1] = 0;      // is never a Huffman code
        }
        QTest::newRow("entropy data of ones") << ones << QString() << QString();
        QByteArray marker = good;
        marker[entropy + 10] = char(0xFF);
        marker[entropy + 11] = char(0xD9);
        QTest::newRow("marker inside the entropy data") << marker << QString() << QString();

        QTest::newRow("10001 x 10000 pixels")
                << withDimensions(good, 10001, 10000) << tooLarge << QString();
        QTest::newRow("65500 x 65500 pixels")
                << withDimensions(good, 65500, 65500) << tooLarge << QString();
        QTest::newRow("8001 x 5000 pixels")
                << withDimensions(good, 8001, 5000) << tooLarge << QString();
        // Exactly the limit is allowed; it fails on the missing data instead.
        QTest::newRow("8000 x 5000 pixels, data of 64 x 48")
                << withDimensions(good, 8000, 5000) << QString() << tooLarge;
        QTest::newRow("zero height") << withDimensions(good, 64, 0) << QString() << QString();

        QTest::newRow("progressive, 501 scans")
                << progressive(jpegimage::MaxScans + 1) << tooManyScans << QString();
        QTest::newRow("progressive, 694 scans") << progressive(694) << tooManyScans << QString();
        const QByteArray fewScans = progressive(100);
        QTest::newRow("progressive, cut in a later scan")
                << fewScans.left(fewScans.size() * 3 / 4) << QString() << tooManyScans;
        QTest::newRow("progressive, 10001 x 10000 pixels")
                << withDimensions(fewScans, 10001, 10000) << tooLarge << QString();

        // Small files that are nothing but cheap scans over a large picture.
        const QString tooMuchWork = QStringLiteral("more work");
        using hostilejpeg::Bands;
        QTest::newRow("hostile, 8K, 500 narrow scans")
                << hostilejpeg::progressive(7680, 4320, jpegimage::MaxScans) << tooMuchWork
                << QString();
        QTest::newRow("hostile, 8K, 43 wide scans")
                << hostilejpeg::progressive(7680, 4320, 43, Bands::Wide) << tooMuchWork
                << QString();
        QTest::newRow("hostile, at the pixel limit, 500 narrow scans")
                << hostilejpeg::progressive(8000, 5000, jpegimage::MaxScans) << tooMuchWork
                << QString();
        QTest::newRow("hostile, 10000 x 10000, 500 narrow scans")
                << hostilejpeg::progressive(10000, 10000, jpegimage::MaxScans) << tooLarge
                << QString();
        // Four components of 40 megapixels need 320 MB of coefficients.
        QTest::newRow("progressive CMYK at the pixel limit")
                << hostilejpeg::progressive(8000, 5000, 2, Bands::Narrow, 4)
                << QStringLiteral("Backing store") << QString();

        EncodeOptions options;
        options.samples = Samples::TwoChannels;
        QTest::newRow("two colour channels")
                << encodeWith(quadrantPicture(16, 16), options) << QString() << QString();
    }

    void refusesBrokenAndHostileData()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, reason);
        QFETCH(QString, notReason);

        QString error;
        const QImage image = jpegimage::decode(data, &error);
        QVERIFY(image.isNull());
        QVERIFY(!error.isEmpty());
        if (!reason.isEmpty())
            QVERIFY2(error.contains(reason), qPrintable(error));
        if (!notReason.isEmpty())
            QVERIFY2(!error.contains(notReason), qPrintable(error));
        // Also without the error text.
        QVERIFY(jpegimage::decode(data).isNull());
        // Refused alike when it arrives piece by piece.
        QString arrivingError;
        QVERIFY(decodeArriving(data, &arrivingError).isNull());
        QCOMPARE(arrivingError, error);
    }

    // Random damage may still form a valid picture; whatever it forms, the
    // decoder stays within its buffers and frees what it took.
    void survivesRandomDamage_data()
    {
        QTest::addColumn<QByteArray>("jpeg");
        QTest::newRow("baseline") << baseline();
        QTest::newRow("progressive") << progressive(40);
    }

    void survivesRandomDamage()
    {
        QFETCH(QByteArray, jpeg);
        QRandomGenerator random(20240611);
        int refused = 0;
        for (int round = 0; round < 300; ++round) {
            QByteArray damaged = jpeg;
            const int hits = 1 + int(random.bounded(6));
            for (int h = 0; h < hits; ++h)
                damaged[int(random.bounded(2, int(damaged.size())))] = char(random.bounded(256));
            if (jpegimage::decode(damaged).isNull())
                ++refused;
        }
        QVERIFY(refused > 0);
    }
};

QTEST_GUILESS_MAIN(JpegImageTest)
#include "test_jpegimage.moc"
