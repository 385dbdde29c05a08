// A screen picture from an agent: decoding it never crashes, leaks or runs
// past a buffer; a success is a whole picture within the limits, and a small
// one survives being encoded and decoded again.
#include "check.h"
#include "link/jpegimage.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QString error;
    const QImage image = jpegimage::decode(bytes, &error);
    // Arriving in two pieces, it ends alike: shown at the same size, or
    // refused for the same reason. The pixels of a damaged picture that the
    // library lets pass may differ: it reads coded data by a fast route when
    // much of it is in and by a careful one otherwise, and the two read some
    // damage differently.
    jpegimage::ArrivingPicture arriving;
    arriving.feed(bytes.first(bytes.size() / 2), false);
    arriving.feed(bytes, true);
    QString arrivingError;
    const QImage arrived = arriving.take(&arrivingError);
    FUZZ_CHECK(arrived.isNull() == image.isNull());
    FUZZ_CHECK(arrived.size() == image.size());
    FUZZ_CHECK(arrivingError == error);
    if (image.isNull()) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    FUZZ_CHECK(error.isEmpty());
    FUZZ_CHECK(qint64(image.width()) * image.height() <= jpegimage::MaxPixels);
    FUZZ_CHECK(image.format() == QImage::Format_RGB32);

    // Every row was written; reading the first and the last pixel of each
    // lets the sanitizer see a short buffer.
    unsigned sum = 0;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        sum += row[0] ^ row[image.width() - 1];
    }
    (void)sum;

    if (qint64(image.width()) * image.height() <= 256 * 256) {
        const QByteArray again = jpegimage::encode(image, 75);
        FUZZ_CHECK(!again.isEmpty());
        FUZZ_CHECK(jpegimage::decode(again).size() == image.size());
    }
    return 0;
}
