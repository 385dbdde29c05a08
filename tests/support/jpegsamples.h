#pragma once

// Pictures for the decoder's tests, made by libjpeg in the tests themselves.
#include "link/jpegimage.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <vector>

#include <cstdio> // jpeglib.h uses FILE without including it
#include <jpeglib.h>

namespace jpegsamples {

// Four flat quadrants whose borders fall on 8x8 block borders.
QImage quadrantPicture(int width, int height, bool grey = false);
// Fine detail over gradients, as text over a desktop: a pixel out of place
// shows.
QImage detailedPicture(int width, int height);

enum class Samples { Rgb, Grey, Cmyk, TwoChannels };

struct EncodeOptions
{
    Samples samples = Samples::Rgb;
    J_COLOR_SPACE stored = JCS_UNKNOWN; // JCS_UNKNOWN: libjpeg's default for the input
    std::vector<jpeg_scan_info> script; // empty: baseline
    bool arithmetic = false;
};

// The test's own encoder, straight on libjpeg, for what jpegimage::encode
// does not make: grey, CMYK and YCCK files, scan scripts, arithmetic coding.
QByteArray encodeWith(const QImage &image, const EncodeOptions &options);

// The picture fed to the decoder as it would arrive: in pieces of uneven
// sizes (single bytes among them) into a buffer that grows, and so moves,
// between them.
QImage decodeArriving(const QByteArray &data, QString *error, QSize bound = {},
                      bool enlarge = true);

} // namespace jpegsamples
