#include "link/jpegimage.h"

#include <QtEndian>

#include <csetjmp>
#include <cstdio> // jpeglib.h uses FILE without including it
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

// libjpeg reports fatal errors through error_exit, which must not return: it
// longjmps back into the function that called setjmp. Everything between the
// setjmp and the library calls is therefore plain data, kept in a record that
// lives in the caller's frame (so its values survive the jump), and the only
// C++ object, the QImage, is made after the library is done.
namespace jpegimage {

namespace {

struct ErrorManager
{
    jpeg_error_mgr pub; // first, so the library's pointer converts back
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

struct Decoder
{
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    jpeg_progress_mgr progress;
    unsigned char *pixels; // malloc'ed; handed to the QImage on success
    bool cmyk;
};

struct Encoder
{
    jpeg_compress_struct cinfo;
    ErrorManager err;
    unsigned char *output; // malloc'ed by the library's memory destination
    unsigned long outputSize;
};

[[noreturn]] void failWith(j_common_ptr cinfo, const char *text)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    std::snprintf(err->message, sizeof err->message, "%s", text);
    std::longjmp(err->jump, 1);
}

[[noreturn]] void errorExit(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    cinfo->err->format_message(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// Level -1 is a warning about the data itself (premature end, a bad Huffman
// code, a marker inside the entropy data). The library would go on and fill
// the rest with grey; a half-grey picture must not pass for the student's
// screen, so a warning ends the decoding like an error. Trace messages
// (level 0 and above) are of no interest.
void emitMessage(j_common_ptr cinfo, int level)
{
    if (level < 0)
        errorExit(cinfo);
}

void outputMessage(j_common_ptr) {}

// Called before each step of input absorption. Every scan of a progressive
// picture is a pass over the whole coefficient buffer, so a small file of
// thousands of tiny scans costs minutes of work; stop counting at MaxScans.
void progressMonitor(j_common_ptr cinfo)
{
    if (!cinfo->is_decompressor)
        return;
    const auto *dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number > MaxScans) {
        char text[JMSG_LENGTH_MAX];
        std::snprintf(text, sizeof text, "picture has more than %d scans", MaxScans);
        failWith(cinfo, text);
    }
}

void setUpErrors(ErrorManager &err)
{
    jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.emit_message = emitMessage;
    err.pub.output_message = outputMessage;
    err.message[0] = '\0';
}

// Adobe applications write CMYK inverted (255 = no ink), and so do the
// encoders that follow them; this is the usual reading of such files.
void cmykToRgb32(unsigned char *row, JDIMENSION width)
{
    for (JDIMENSION x = 0; x < width; ++x) {
        unsigned char *p = row + 4 * size_t(x);
        const unsigned k = p[3];
        const QRgb rgb = qRgb(int(p[0] * k / 255), int(p[1] * k / 255), int(p[2] * k / 255));
        std::memcpy(p, &rgb, sizeof rgb);
    }
}

// Holds no object with a destructor: a longjmp may leave it at any library call.
bool runDecoder(Decoder &d, const unsigned char *data, unsigned long size)
{
    if (setjmp(d.err.jump))
        return false;

    jpeg_create_decompress(&d.cinfo);
    d.progress.progress_monitor = progressMonitor;
    d.cinfo.progress = &d.progress;
    jpeg_mem_src(&d.cinfo, data, size);
    jpeg_read_header(&d.cinfo, TRUE);

    const qint64 pixels = qint64(d.cinfo.image_width) * qint64(d.cinfo.image_height);
    if (pixels > MaxPixels) {
        char text[JMSG_LENGTH_MAX];
        std::snprintf(text, sizeof text, "picture of %u x %u pixels is larger than %lld pixels",
                      d.cinfo.image_width, d.cinfo.image_height, static_cast<long long>(MaxPixels));
        failWith(reinterpret_cast<j_common_ptr>(&d.cinfo), text);
    }

    switch (d.cinfo.jpeg_color_space) {
    case JCS_CMYK:
    case JCS_YCCK:
        d.cmyk = true;
        d.cinfo.out_color_space = JCS_CMYK;
        break;
    default:
        // Grey, YCbCr and RGB all convert straight into the layout of
        // QImage::Format_RGB32; anything else is refused by the library.
        d.cinfo.out_color_space = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? JCS_EXT_BGRX : JCS_EXT_XRGB;
        break;
    }

    jpeg_start_decompress(&d.cinfo);

    const JDIMENSION width = d.cinfo.output_width;
    const size_t stride = size_t(width) * 4;
    d.pixels = static_cast<unsigned char *>(std::malloc(stride * d.cinfo.output_height));
    if (!d.pixels)
        failWith(reinterpret_cast<j_common_ptr>(&d.cinfo), "out of memory for the picture");

    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        JSAMPROW row = d.pixels + stride * d.cinfo.output_scanline;
        if (jpeg_read_scanlines(&d.cinfo, &row, 1) != 1)
            failWith(reinterpret_cast<j_common_ptr>(&d.cinfo), "decoder returned no scanline");
        if (d.cmyk)
            cmykToRgb32(row, width);
    }
    jpeg_finish_decompress(&d.cinfo);
    return true;
}

bool runEncoder(Encoder &e, const unsigned char *rgb, int width, int height, qsizetype stride,
                int quality)
{
    if (setjmp(e.err.jump))
        return false;

    jpeg_create_compress(&e.cinfo);
    jpeg_mem_dest(&e.cinfo, &e.output, &e.outputSize);
    e.cinfo.image_width = JDIMENSION(width);
    e.cinfo.image_height = JDIMENSION(height);
    e.cinfo.input_components = 3;
    e.cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&e.cinfo);
    jpeg_set_quality(&e.cinfo, quality, TRUE);
    jpeg_start_compress(&e.cinfo, TRUE);
    while (e.cinfo.next_scanline < e.cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + stride * qsizetype(e.cinfo.next_scanline));
        jpeg_write_scanlines(&e.cinfo, &row, 1);
    }
    jpeg_finish_compress(&e.cinfo);
    return true;
}

} // namespace

QImage decode(QByteArrayView data, QString *error)
{
    Decoder d{};
    setUpErrors(d.err);
    d.cinfo.err = &d.err.pub;

    const bool ok = runDecoder(d, reinterpret_cast<const unsigned char *>(data.data()),
                               static_cast<unsigned long>(data.size()));
    const int width = int(d.cinfo.output_width);
    const int height = int(d.cinfo.output_height);
    jpeg_destroy_decompress(&d.cinfo);

    if (!ok) {
        std::free(d.pixels);
        if (error)
            *error = QString::fromLatin1(d.err.message);
        return {};
    }
    QImage image(
            d.pixels, width, height, qsizetype(width) * 4, QImage::Format_RGB32,
            [](void *pixels) { std::free(pixels); }, d.pixels);
    if (image.isNull()) {
        // The image did not take the buffer over.
        std::free(d.pixels);
        if (error)
            *error = QStringLiteral("picture too large for an image");
        return {};
    }
    if (error)
        error->clear();
    return image;
}

QByteArray encode(const QImage &image, int quality)
{
    if (image.isNull())
        return {};
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);

    Encoder e{};
    setUpErrors(e.err);
    e.cinfo.err = &e.err.pub;
    const bool ok = runEncoder(e, rgb.constBits(), rgb.width(), rgb.height(), rgb.bytesPerLine(),
                               qBound(1, quality, 100));
    jpeg_destroy_compress(&e.cinfo);

    QByteArray result;
    if (ok)
        result = QByteArray(reinterpret_cast<const char *>(e.output), qsizetype(e.outputSize));
    std::free(e.output);
    return result;
}

} // namespace jpegimage
