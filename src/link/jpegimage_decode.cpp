#include "link/jpegimage.h"

#include "link/jpegerrors.h"
#include "link/jpegshrink.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include <jerror.h>

// The decoder. Its record lives on the heap for as long as a picture is
// decoded, so that it may be fed piece by piece: each call into the library
// runs under its own setjmp, and nothing between the setjmp and the library
// calls has a destructor.
namespace jpegimage {

namespace {

using namespace detail;

// Where the decoder stands between two pieces of the picture.
enum class Stage { Create, Header, Start, Rows, Finish, Done, Failed };

struct Decoder
{
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    jpeg_progress_mgr progress;
    jpeg_source_mgr source;
    Stage stage;
    // The bytes received so far (the caller's), the offset the decoder has
    // taken up to, and a skip that ran past them.
    const JOCTET *received;
    size_t receivedSize;
    size_t taken;
    size_t skipLeft;
    bool last;             // no more bytes will come
    unsigned char *pixels; // from takePixels; handed to the QImage on success
    bool cmyk;
    bool absorbing; // the scans are being read into the coefficient buffer
    qint64 work;    // in block visits weighted by their band (see countWork)
    qint64 workBudget;
    // The size the caller will fit the picture into; empty for full size.
    int boundWidth;
    int boundHeight;
    bool enlarge; // a picture smaller than the bound is fitted to it too
    // The size the picture is shown at, and the size of its pixels: the same
    // when the rows are shrunk to it as they come; otherwise the decoded
    // picture is scaled at its end.
    int fitWidth;
    int fitHeight;
    int pixelsWidth;
    int pixelsHeight;
    std::unique_ptr<RowShrink> shrink;
    // Refused for damaged coded data before all of the picture was in.
    bool refusedEarly;
};

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

// The source is the caller's growing buffer. While more may come, running
// out suspends the decoder (it backs up to where it can resume); once the
// last byte is in, running out is a premature end, told as the library's
// own memory source tells it, with an end marker inserted.
void initSource(j_decompress_ptr) {}
void termSource(j_decompress_ptr) {}

boolean fillInput(j_decompress_ptr cinfo)
{
    auto *d = static_cast<Decoder *>(cinfo->client_data);
    if (!d->last)
        return FALSE;
    static const JOCTET endMarker[2] = {0xFF, JPEG_EOI};
    WARNMS(cinfo, JWRN_JPEG_EOF);
    cinfo->src->next_input_byte = endMarker;
    cinfo->src->bytes_in_buffer = 2;
    return TRUE;
}

void skipInput(j_decompress_ptr cinfo, long count)
{
    if (count <= 0)
        return;
    jpeg_source_mgr *src = cinfo->src;
    auto *d = static_cast<Decoder *>(cinfo->client_data);
    if (size_t(count) <= src->bytes_in_buffer) {
        src->next_input_byte += count;
        src->bytes_in_buffer -= size_t(count);
        return;
    }
    if (d->last) {
        // As the memory source does: past the end is a premature end.
        count -= long(src->bytes_in_buffer);
        src->bytes_in_buffer = 0;
        while (count > long(src->bytes_in_buffer)) {
            count -= long(src->bytes_in_buffer);
            fillInput(cinfo);
        }
        src->next_input_byte += count;
        src->bytes_in_buffer -= size_t(count);
        return;
    }
    d->skipLeft = size_t(count) - src->bytes_in_buffer;
    src->next_input_byte += src->bytes_in_buffer;
    src->bytes_in_buffer = 0;
}

// Points the source at the bytes not taken yet, a pending skip applied.
void pointSource(Decoder &d)
{
    const size_t skip = std::min(d.skipLeft, d.receivedSize - d.taken);
    d.taken += skip;
    d.skipLeft -= skip;
    d.source.next_input_byte = d.received + d.taken;
    d.source.bytes_in_buffer = d.receivedSize - d.taken;
}

// The header is read, and checked before anything large is allocated.
void prepare(Decoder &d)
{
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
    d.workBudget = workBudget(&d.cinfo);
}

// Several rows a call: given a single row, the decoder makes the two rows of
// a vertically subsampled picture in a spare row of its own and copies one of
// them over.
constexpr JDIMENSION RowsPerCall = 16;

// Decodes rows while the bytes last; false when it must wait for more.
bool readRows(Decoder &d)
{
    const JDIMENSION width = d.cinfo.output_width;
    const size_t stride = size_t(width) * 4;
    JSAMPROW rows[RowsPerCall];
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        const JDIMENSION first = d.cinfo.output_scanline;
        const JDIMENSION count = std::min(RowsPerCall, d.cinfo.output_height - first);
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = d.shrink ? d.shrink->bandRow(int(i)) : d.pixels + stride * (first + i);
        const JDIMENSION read = jpeg_read_scanlines(&d.cinfo, rows, count);
        if (read == 0 && !d.last)
            return false;
        if (read == 0)
            failWith(reinterpret_cast<j_common_ptr>(&d.cinfo), "decoder returned no scanline");
        for (JDIMENSION i = 0; i < read; ++i) {
            if (d.cmyk)
                cmykToRgb32(rows[i], width);
            if (d.shrink)
                d.shrink->add(rows[i]);
        }
    }
    return true;
}

// The size the picture is shown at: fitted to the bound when it is larger,
// or when it is to be enlarged.
QSize shownSize(const Decoder &d)
{
    const QSize decoded(int(d.cinfo.output_width), int(d.cinfo.output_height));
    const bool larger = decoded.width() > d.boundWidth || decoded.height() > d.boundHeight;
    if (d.boundWidth <= 0 || d.boundHeight <= 0 || !(d.enlarge || larger))
        return decoded;
    // A picture far wider than high keeps a row.
    return decoded.scaled(d.boundWidth, d.boundHeight, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

// Where the decoded rows go: straight into the picture, or shrunk into it as
// they come when the decoder's own scaling could not bring it to its size.
void makeRoom(Decoder &d)
{
    const QSize decoded(int(d.cinfo.output_width), int(d.cinfo.output_height));
    const QSize fit = shownSize(d);
    d.fitWidth = fit.width();
    d.fitHeight = fit.height();
    const bool shrinking = RowShrink::fits(decoded, fit);
    const QSize pixels = shrinking ? fit : decoded;
    d.pixelsWidth = pixels.width();
    d.pixelsHeight = pixels.height();
    d.pixels = static_cast<unsigned char *>(
            takePixels(size_t(pixels.width()) * 4 * size_t(pixels.height())));
    if (!d.pixels)
        failWith(reinterpret_cast<j_common_ptr>(&d.cinfo), "out of memory for the picture");
    if (!shrinking)
        return;
    d.shrink = RowShrink::make(decoded, fit, d.pixels, int(RowsPerCall));
    if (!d.shrink)
        failWith(reinterpret_cast<j_common_ptr>(&d.cinfo), "out of memory for the picture");
}

// One step of the decoding; false when it waits for more bytes.
bool step(Decoder &d)
{
    switch (d.stage) {
    case Stage::Create:
        jpeg_create_decompress(&d.cinfo);
        d.cinfo.client_data = &d;
        // A whole-picture buffer beyond this fails with "backing store not
        // supported" instead of being allocated.
        d.cinfo.mem->max_memory_to_use = MaxDecoderMemory;
        d.progress.progress_monitor = progressMonitor;
        d.cinfo.progress = &d.progress;
        d.source.init_source = initSource;
        d.source.fill_input_buffer = fillInput;
        d.source.skip_input_data = skipInput;
        d.source.resync_to_restart = jpeg_resync_to_restart;
        d.source.term_source = termSource;
        d.cinfo.src = &d.source;
        pointSource(d);
        d.stage = Stage::Header;
        return true;
    case Stage::Header:
        // As the library's memory source says of no bytes at all.
        if (d.last && d.receivedSize == 0)
            ERREXIT(&d.cinfo, JERR_INPUT_EMPTY);
        if (jpeg_read_header(&d.cinfo, TRUE) == JPEG_SUSPENDED)
            return false;
        prepare(d);
        d.stage = Stage::Start;
        return true;
    case Stage::Start: {
        // A picture of several scans cannot show a row before its last scan:
        // it is read whole, its work counted, once all of it is in. The
        // library's arithmetic decoder cannot wait for bytes: such a picture
        // waits for its end too.
        if ((jpeg_has_multiple_scans(&d.cinfo) || d.cinfo.arith_code) && !d.last)
            return false;
        d.absorbing = true;
        const bool started = jpeg_start_decompress(&d.cinfo);
        d.absorbing = false;
        if (!started)
            return false;
        makeRoom(d);
        d.stage = Stage::Rows;
        return true;
    }
    case Stage::Rows:
        if (!readRows(d))
            return false;
        d.stage = Stage::Finish;
        return true;
    case Stage::Finish:
        if (!jpeg_finish_decompress(&d.cinfo))
            return false;
        d.stage = Stage::Done;
        return true;
    case Stage::Done:
    case Stage::Failed:
        break;
    }
    return false;
}

// Holds no object with a destructor: a longjmp may leave it at any library
// call.
void run(Decoder &d)
{
    if (setjmp(d.err.jump)) {
        d.stage = Stage::Failed;
        return;
    }
    while (step(d)) {
    }
}

} // namespace

struct ArrivingPicture::State : Decoder
{
};

ArrivingPicture::ArrivingPicture(QSize bound, bool enlarge)
    : m_bound(bound)
    , m_enlarge(enlarge)
{
    begin();
}

// A decoder at the picture's first byte.
void ArrivingPicture::begin()
{
    if (d) {
        release();
        givePixels(std::exchange(d->pixels, nullptr));
    }
    d.reset(new State{});
    d->boundWidth = m_bound.width();
    d->boundHeight = m_bound.height();
    d->enlarge = m_enlarge;
    setUpErrors(d->err);
    d->cinfo.err = &d->err.pub;
}

ArrivingPicture::~ArrivingPicture()
{
    release();
    givePixels(d->pixels);
}

void ArrivingPicture::release()
{
    if (d->stage != Stage::Create)
        jpeg_destroy_decompress(&d->cinfo);
    d->source = {};
    d->received = nullptr;
}

bool ArrivingPicture::ended() const
{
    return d->stage == Stage::Done || d->stage == Stage::Failed;
}

void ArrivingPicture::feed(QByteArrayView received, bool last)
{
    // The library reads coded data by a fast route when much of it is in,
    // and by a careful one otherwise; the fast one lets some damage pass (a
    // bad code reads as zero). A picture refused for damage while it came is
    // decoded again once all of it is in, so that it ends as it does whole.
    if (last && d->stage == Stage::Failed && d->refusedEarly)
        begin();
    if (ended() || size_t(received.size()) < d->taken)
        return;
    d->received = reinterpret_cast<const JOCTET *>(received.data());
    d->receivedSize = size_t(received.size());
    d->last = last;
    if (d->stage != Stage::Create)
        pointSource(*d);
    run(*d);
    if (ended()) {
        d->refusedEarly = !last && d->stage == Stage::Failed && d->err.warned;
        m_width = d->pixelsWidth;
        m_height = d->pixelsHeight;
        m_full = QSize(int(d->cinfo.image_width), int(d->cinfo.image_height));
        release();
        return;
    }
    // Where to go on from: the caller's buffer may move before the next piece.
    d->taken = size_t(d->source.next_input_byte - d->received);
    if (last) // the library cannot wait for bytes that will not come
        d->stage = Stage::Failed;
}

QImage ArrivingPicture::take(QString *error)
{
    if (d->stage != Stage::Done) {
        givePixels(std::exchange(d->pixels, nullptr));
        if (error)
            *error = d->err.message[0] ? QString::fromLatin1(d->err.message)
                                       : QStringLiteral("picture not whole");
        return {};
    }
    d->stage = Stage::Failed; // taken
    unsigned char *pixels = std::exchange(d->pixels, nullptr);
    QImage image(pixels, m_width, m_height, qsizetype(m_width) * 4, QImage::Format_RGB32,
                 givePixels, pixels);
    if (image.isNull()) {
        // The image did not take the buffer over.
        givePixels(pixels);
        if (error)
            *error = QStringLiteral("picture too large for an image");
        return {};
    }
    if (error)
        error->clear();
    // Shrunk as it came, or to be fitted now (enlarged, or too large for
    // shrinking as it comes).
    const QSize fit(d->fitWidth, d->fitHeight);
    if (fit == image.size())
        return image;
    return image.scaled(fit, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QImage decode(QByteArrayView data, QString *error)
{
    return decodeWithin(data, QSize(), error);
}

QImage decodeWithin(QByteArrayView data, QSize bound, QString *error)
{
    ArrivingPicture picture(bound);
    picture.feed(data, true);
    return picture.take(error);
}

} // namespace jpegimage
