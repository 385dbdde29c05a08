#include "link/jpegimage.h"

#include "link/jpegerrors.h"

#include <QtEndian>

#include <algorithm>

#include <cstdlib>
#include <cstring>

#include <jerror.h> // the message codes

// libjpeg reports fatal errors through error_exit, which must not return: it
// longjmps back into the function that called setjmp. Everything between the
// setjmp and the library calls is therefore plain data, kept in a record that
// outlives the jump, and the only C++ object, the QImage, is made after the
// library is done. The decoder is in jpegimage_decode.cpp.
namespace jpegimage {

namespace detail {

void failWith(j_common_ptr cinfo, const char *text)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    std::snprintf(err->message, sizeof err->message, "%s", text);
    std::longjmp(err->jump, 1);
}

namespace {

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
    if (level < 0 && !harmless(cinfo->err->msg_code)) {
        reinterpret_cast<ErrorManager *>(cinfo->err)->warned = true;
        errorExit(cinfo);
    }
}

void outputMessage(j_common_ptr) {}

} // namespace

void setUpErrors(ErrorManager &err)
{
    jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.emit_message = emitMessage;
    err.pub.output_message = outputMessage;
    err.message[0] = '\0';
    err.warned = false;
}

} // namespace detail

namespace {

using namespace detail;

struct Encoder
{
    jpeg_compress_struct cinfo;
    ErrorManager err;
    unsigned char *output; // malloc'ed by the library's memory destination
    unsigned long outputSize;
};

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
