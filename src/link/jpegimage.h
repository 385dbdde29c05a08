#pragma once

#include <QByteArrayView>
#include <QImage>
#include <QString>

// Decodes the JPEG picture of a student's screen with libjpeg-turbo.
//
// Refused, before they cost memory or time: anything that is not a whole,
// clean JPEG (a decoder warning, such as a truncated file, counts as a
// failure, since a half-grey picture must not pass for the student's screen),
// a header declaring more than MaxPixels, and a progressive picture of more
// than MaxScans scans.
namespace jpegimage {

constexpr qint64 MaxPixels = 100'000'000;
constexpr int MaxScans = 500;

// A null image on failure; error (when given) says why, for logs and tests.
QImage decode(QByteArrayView data, QString *error = nullptr);

// Encodes an image as a baseline JPEG (the agent's side; used by the
// simulator, the tests and the benchmarks).
QByteArray encode(const QImage &image, int quality = 85);

} // namespace jpegimage
