#pragma once

#include <QByteArray>

// A progressive JPEG that costs the decoder far more than its size: three
// (YCbCr) or four (CMYK) full-resolution components, one DC scan of one-bit codes, then AC scans
// that are nothing but end-of-band runs. Every scan is valid, so the picture
// decodes to a flat grey unless the decoder bounds its work; each scan is a
// pass over every block of its component for a few dozen bytes. Written byte
// by byte, since an encoder would take as long as the decoder.
namespace hostilejpeg {

// Narrow: one coefficient per AC scan (up to 694 scans); Wide: coefficients
// 1 to 63 in every AC scan, refined bit by bit (up to 43 scans), the most
// work per block and scan.
enum class Bands { Narrow, Wide };

QByteArray progressive(int width, int height, int scans, Bands bands = Bands::Narrow,
                       int components = 3);

} // namespace hostilejpeg
