#include "link/jpegimage.h"

#include <QtEndian>

#include <algorithm>

#include <csetjmp>
#include <cstdio> // jpeglib.h uses FILE without including it
#include <cstdlib>
#include <cstring>

#include <jerror.h> // the message codes
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
    bool absorbing; // the scans are being read into the coefficient buffer
    qint64 work;    // in block visits weighted by their band (see countWork)
    qint64 workBudget;
    // The size the caller will fit the picture into; empty for full size.
    int boundWidth;
    int boundHeight;
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

// Warnings that lose nothing: junk between two segments, a JFIF revision
// newer than the library knows, a colour transform code it does not know
// (it then assumes the usual one). Encoders do write these.
bool harmless(int messageCode)
{
    return messageCode == JWRN_EXTRANEOUS_DATA || messageCode == JWRN_JFIF_MAJOR
           || messageCode == JWRN_ADOBE_XFORM;
}

// Level -1 is a warning. Any other warning is about lost data (premature
// end, a bad Huffman code, a marker inside the entropy data): the library
// would go on and fill the rest with grey, and a half-grey picture must not
// pass for the student's screen, so it ends the decoding like an error.
// Trace messages (level 0 and above) are of no interest.
void emitMessage(j_common_ptr cinfo, int level)
{
    if (level < 0 && !harmless(cinfo->err->msg_code))
        errorExit(cinfo);
}

void outputMessage(j_common_ptr) {}

// A block costs its visit whatever its band holds, and then each coefficient
// of the band: measured, a scan of the whole band over a block takes about
// seven times as long as a scan of one coefficient.
constexpr qint64 VisitCost = 10;

qint64 blockCost(j_decompress_ptr dinfo)
{
    return VisitCost + dinfo->Se - dinfo->Ss + 1;
}

// What MaxWorkPasses full passes over every block of every component cost.
// The usual script for a grey picture costs 3.4 such passes: DC, AC 1-5,
// AC 6-63, two refinements of AC 1-63 and one of DC.
qint64 workBudget(j_decompress_ptr dinfo)
{
    qint64 blocks = 0;
    for (int c = 0; c < dinfo->num_components; ++c) {
        const jpeg_component_info &component = dinfo->comp_info[c];
        blocks += qint64(component.width_in_blocks) * component.height_in_blocks;
    }
    return std::max(MinWorkBudget, blocks * (VisitCost + DCTSIZE2) * MaxWorkPasses);
}

// Called before each step of input absorption, one row of blocks of the
// current scan at a time. Every scan of a progressive picture is a pass over
// its components' part of the coefficient buffer, so a small file of many
// scans that are nothing but end-of-band runs costs seconds of work. Both
// the scans and the work they cost are counted.
void progressMonitor(j_common_ptr cinfo)
{
    if (!cinfo->is_decompressor)
        return;
    const auto dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number > MaxScans) {
        char text[JMSG_LENGTH_MAX];
        std::snprintf(text, sizeof text, "picture has more than %d scans", MaxScans);
        failWith(cinfo, text);
    }
    auto *d = static_cast<Decoder *>(cinfo->client_data);
    if (!d->absorbing)
        return;
    qint64 row = 0;
    for (int i = 0; i < dinfo->comps_in_scan; ++i) {
        const jpeg_component_info *component = dinfo->cur_comp_info[i];
        row += qint64(component->width_in_blocks) * component->v_samp_factor;
    }
    d->work += row * blockCost(dinfo);
    if (d->work > d->workBudget)
        failWith(cinfo, "picture takes more work to decode than its size allows");
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

// The decoder's own scaling (down to an eighth) costs a fraction of a full
// decode; it stops where the picture would get smaller than the size it is
// to be fitted into.
void chooseScale(Decoder &d)
{
    if (d.boundWidth <= 0 || d.boundHeight <= 0)
        return;
    const QSize fitted = QSize(int(d.cinfo.image_width), int(d.cinfo.image_height))
                                 .scaled(d.boundWidth, d.boundHeight, Qt::KeepAspectRatio);
    for (unsigned denom = 8; denom > 1; denom /= 2) {
        if (d.cinfo.image_width / denom >= unsigned(fitted.width())
            && d.cinfo.image_height / denom >= unsigned(fitted.height())) {
            d.cinfo.scale_num = 1;
            d.cinfo.scale_denom = denom;
            return;
        }
    }
}

// Holds no object with a destructor: a longjmp may leave it at any library call.
bool runDecoder(Decoder &d, const unsigned char *data, unsigned long size)
{
    if (setjmp(d.err.jump))
        return false;

    jpeg_create_decompress(&d.cinfo);
    d.cinfo.client_data = &d;
    // A whole-picture buffer beyond this fails with "backing store not
    // supported" instead of being allocated.
    d.cinfo.mem->max_memory_to_use = MaxDecoderMemory;
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

    chooseScale(d);
    // A picture of several scans is read whole here, counting its work.
    d.workBudget = workBudget(&d.cinfo);
    d.absorbing = true;
    jpeg_start_decompress(&d.cinfo);
    d.absorbing = false;

    const JDIMENSION width = d.cinfo.output_width;
    const size_t stride = size_t(width) * 4;
    d.pixels = static_cast<unsigned char *>(std::malloc(stride * d.cinfo.output_height));
    if (!d.pixels)
        failWith(reinterpret_cast<j_common_ptr>(&d.cinfo), "out of memory for the picture");

    // Several rows a call: given a single row, the decoder makes the two
    // rows of a vertically subsampled picture in a spare row of its own and
    // copies one of them over.
    constexpr JDIMENSION RowsPerCall = 16;
    JSAMPROW rows[RowsPerCall];
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        const JDIMENSION first = d.cinfo.output_scanline;
        const JDIMENSION count = std::min(RowsPerCall, d.cinfo.output_height - first);
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = d.pixels + stride * (first + i);
        const JDIMENSION read = jpeg_read_scanlines(&d.cinfo, rows, count);
        if (read == 0)
            failWith(reinterpret_cast<j_common_ptr>(&d.cinfo), "decoder returned no scanline");
        for (JDIMENSION i = 0; d.cmyk && i < read; ++i)
            cmykToRgb32(rows[i], width);
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
    return decodeWithin(data, QSize(), error);
}

QImage decodeWithin(QByteArrayView data, QSize bound, QString *error)
{
    Decoder d{};
    d.boundWidth = bound.width();
    d.boundHeight = bound.height();
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
    if (bound.isValid() && !bound.isEmpty())
        return image.scaled(bound, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

qsizetype imageLength(QByteArrayView data)
{
    const auto *b = reinterpret_cast<const unsigned char *>(data.data());
    const qsizetype n = data.size();
    if (n < 4 || b[0] != 0xFF || b[1] != 0xD8)
        return -1;
    qsizetype i = 2;
    bool inScan = false;
    while (i + 1 < n) {
        if (b[i] != 0xFF) {
            // Coded data, or stray bytes before a marker, which the decoder
            // skips too.
            const void *next = std::memchr(b + i, 0xFF, size_t(n - i));
            if (!next)
                return -1;
            i = static_cast<const unsigned char *>(next) - b;
            continue;
        }
        const unsigned char marker = b[i + 1];
        // Fill bytes, a stuffed zero or a restart marker inside a scan.
        if (marker == 0xFF || (inScan && (marker == 0x00 || (marker >= 0xD0 && marker <= 0xD7)))) {
            i += marker == 0xFF ? 1 : 2;
            continue;
        }
        if (marker == 0xD9)
            return i + 2;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            i += 2;
            continue;
        }
        if (i + 3 >= n)
            return -1;
        const qsizetype length = qsizetype(b[i + 2]) << 8 | b[i + 3];
        if (length < 2)
            return -1;
        i += 2 + length;
        inScan = marker == 0xDA;
    }
    return -1;
}

QByteArray pictureBytes(const QByteArray &data)
{
    const qsizetype length = imageLength(data);
    return length < 0 || length == data.size() ? data : data.first(length);
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
