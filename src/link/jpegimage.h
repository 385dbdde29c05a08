#pragma once

#include <QByteArrayView>
#include <QImage>
#include <QString>

#include <memory>

// Decodes the JPEG picture of a student's screen with libjpeg-turbo.
//
// Refused, before they cost much memory or time: anything that is not a
// whole JPEG (a warning about lost data, such as a truncated file, counts as
// a failure, since a half-grey picture must not pass for the student's
// screen; warnings that lose nothing do not), a header declaring more than
// MaxPixels, a picture whose decoder would need more than MaxDecoderMemory
// (a progressive one holds all its coefficients), and a picture of several
// scans of more than MaxScans scans or whose scans cost more than
// MaxWorkPasses full passes over its blocks.
namespace jpegimage {

// 8K (7680 x 4320) is 33.2 megapixels; this leaves a fifth more.
constexpr qint64 MaxPixels = 40'000'000;
// The coefficients of a progressive picture of MaxPixels in three full
// resolution components take 240 MB.
constexpr long MaxDecoderMemory = 256L * 1024 * 1024;
constexpr int MaxScans = 500;
// The usual progressive scripts cost 2.6 to 3.4 passes (see jpegimage.cpp
// for what a pass is); below MinWorkBudget (a sixth of a pass over an 8K
// picture) the work is not counted against the picture's size, so that
// small pictures may have up to MaxScans scans.
constexpr int MaxWorkPasses = 4;
constexpr qint64 MinWorkBudget = 16 * 1024 * 1024;

// A null image on failure; error (when given) says why, for logs and tests.
QImage decode(QByteArrayView data, QString *error = nullptr);

// The picture fitted into bound with its proportions kept, for a thumbnail:
// the decoder itself scales down by up to an eighth first, so a large
// picture costs far less than a full decode. Refused as decode refuses.
QImage decodeWithin(QByteArrayView data, QSize bound, QString *error = nullptr);

// Decodes a picture while its bytes arrive: each piece is decoded as far as
// it goes, and the decoder waits for the next where it ran out (a picture of
// several scans, which shows no row before its last scan, waits for all of
// it). Given the same bytes, in pieces or at once, it ends with what
// decodeWithin gives, refusals and limits included.
class ArrivingPicture
{
public:
    // Empty bound: full size. enlarge: a picture smaller than bound is
    // fitted to it too (a thumbnail); else it stays as it is.
    explicit ArrivingPicture(QSize bound = {}, bool enlarge = true);
    ~ArrivingPicture();
    ArrivingPicture(const ArrivingPicture &) = delete;
    ArrivingPicture &operator=(const ArrivingPicture &) = delete;

    // received: every byte of the picture so far, from its first; what was
    // fed before must stand unchanged at its start (the buffer may have
    // moved). last: nothing more will come.
    void feed(QByteArrayView received, bool last);
    // Whether the picture is whole or refused: more bytes change nothing.
    bool ended() const;
    // After the last piece: the picture, or a null image (error says why).
    QImage take(QString *error = nullptr);
    // The picture's own size, however it was fitted; empty until its end.
    QSize fullSize() const { return m_full; }

private:
    struct State;
    void begin();
    void release();
    std::unique_ptr<State> d;
    int m_width = 0;
    int m_height = 0;
    QSize m_full;
    QSize m_bound;
    bool m_enlarge;
};

// The length of the picture at the start of data, up to and with its end
// marker (FFD9), found by walking its segments and scans; -1 when data holds
// no whole picture. What an agent sends after the end marker is no part of
// the picture.
qsizetype imageLength(QByteArrayView data);
// data up to its picture's end (shared when nothing follows it); data as it
// is when it holds no whole picture.
QByteArray pictureBytes(const QByteArray &data);

// Encodes an image as a baseline JPEG (the agent's side; used by the
// simulator, the tests and the benchmarks).
QByteArray encode(const QImage &image, int quality = 85);

// The blocks of large decoded pictures let go are kept for the next ones;
// those kept longer than idleMs are given back to the system.
void releaseIdleBlocks(qint64 idleMs);
size_t keptBlockBytes();

} // namespace jpegimage
