#pragma once

#include <QByteArray>

namespace bench {

// A progressive JPEG that stays within the console's limits on pixels and
// scans and is as slow to decode as those limits allow: 10000 x 10000 pixels
// (the whole pixel allowance) in 498 scans (just under the scan allowance),
// each coefficient band of each component sent in two or three passes of
// successive approximation, so that the decoder walks every block of the
// picture in nearly every scan. The picture is flat grey but for a small
// patch of noise; the scans alone make about 0.65 MB.
QByteArray hostileProgressiveJpeg();

} // namespace bench
