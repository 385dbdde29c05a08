// Pictures for the decoder's tests, made by libjpeg in the tests
// themselves.
#include "support/jpegsamples.h"

#include <QColor>

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace jpegsamples {

namespace {
// Four flat quadrants whose borders fall on 8x8 block borders, so each probe
// at a quadrant's centre sees an almost exact colour whatever the scan script.
const QColor Quadrants[4]
        = {QColor(220, 30, 30), QColor(30, 200, 60), QColor(40, 50, 210), QColor(240, 240, 240)};

int quadrantOf(int x, int y, int width, int height)
{
    return (x >= width / 2 ? 1 : 0) + (y >= height / 2 ? 2 : 0);
}

// The raw samples libjpeg takes for a picture. CMYK is written the way Adobe
// applications write it, inverted, with K at 240 so that the black channel
// takes part in the conversion.
QByteArray samplesOf(const QImage &image, Samples kind, int *components, J_COLOR_SPACE *space)
{
    QByteArray out;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            switch (kind) {
            case Samples::Rgb:
                out += char(qRed(p));
                out += char(qGreen(p));
                out += char(qBlue(p));
                break;
            case Samples::Grey:
                out += char(qGray(p));
                break;
            case Samples::Cmyk:
                out += char(qMin(255, qRed(p) * 255 / 240));
                out += char(qMin(255, qGreen(p) * 255 / 240));
                out += char(qMin(255, qBlue(p) * 255 / 240));
                out += char(240);
                break;
            case Samples::TwoChannels:
                out += char(qRed(p));
                out += char(qGreen(p));
                break;
            }
        }
    switch (kind) {
    case Samples::Rgb:
        *components = 3;
        *space = JCS_RGB;
        break;
    case Samples::Grey:
        *components = 1;
        *space = JCS_GRAYSCALE;
        break;
    case Samples::Cmyk:
        *components = 4;
        *space = JCS_CMYK;
        break;
    case Samples::TwoChannels:
        *components = 2;
        *space = JCS_UNKNOWN;
        break;
    }
    return out;
}

} // namespace

// Made row by row: setPixel would take seconds at 8K.
QImage quadrantPicture(int width, int height, bool grey)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const QRgb c = Quadrants[quadrantOf(x, y, width, height)].rgb();
            row[x] = grey ? qRgb(qGray(c), qGray(c), qGray(c)) : c;
        }
    }
    return image;
}

QByteArray encodeWith(const QImage &image, const EncodeOptions &options)
{
    int components = 0;
    J_COLOR_SPACE space = JCS_UNKNOWN;
    const QByteArray samples = samplesOf(image, options.samples, &components, &space);

    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = JDIMENSION(image.width());
    cinfo.image_height = JDIMENSION(image.height());
    cinfo.input_components = components;
    cinfo.in_color_space = space;
    jpeg_set_defaults(&cinfo);
    if (options.stored != JCS_UNKNOWN)
        jpeg_set_colorspace(&cinfo, options.stored);
    jpeg_set_quality(&cinfo, 95, TRUE);
    if (!options.script.empty()) {
        cinfo.scan_info = options.script.data();
        cinfo.num_scans = int(options.script.size());
    }
    cinfo.arith_code = options.arithmetic ? TRUE : FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    const int stride = image.width() * components;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<char *>(samples.constData())
                                                  + stride * int(cinfo.next_scanline));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray result(reinterpret_cast<const char *>(out), qsizetype(size));
    std::free(out);
    return result;
}

QImage detailedPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = qRgb(x * 255 / width, y * 255 / height, (x / 3 + y / 5) % 2 ? 220 : 30);
    }
    return image;
}

QImage decodeArriving(const QByteArray &data, QString *error, QSize bound, bool enlarge)
{
    static constexpr qsizetype Pieces[] = {1, 13, 700, 1, 4096, 65536};
    jpegimage::ArrivingPicture picture(bound, enlarge);
    QByteArray received;
    for (qsizetype at = 0, i = 0; at < data.size(); ++i) {
        const qsizetype piece = std::min(Pieces[i % std::size(Pieces)], data.size() - at);
        received.append(data.constData() + at, piece);
        at += piece;
        received.squeeze();
        picture.feed(received, false);
    }
    picture.feed(received, true);
    return picture.take(error);
}

} // namespace jpegsamples
