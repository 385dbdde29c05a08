#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>

// Where an HTTP/1.1 answer's body ends, read from the server's own words.
// Everything here is the server's input: nothing it says is taken half.
namespace update {

// Where the header block at the start of in ends (after its empty line),
// or -1. The search starts at from: bytes already searched are not
// searched again.
qsizetype headerEnd(QByteArrayView in, qsizetype from);

// The status code of a status line's second word, when it is a number.
std::optional<qint64> statusCode(QByteArrayView text);

struct BodyFraming
{
    bool chunked = false;
    // The length every Content-Length gives, when there is one.
    std::optional<qint64> length;
    // The header contradicts itself or gives a length that is no length:
    // Content-Length values that differ, one that is no decimal number
    // (a sign, a tail, too large), or a length beside chunks.
    bool malformed = false;
};

// The framing given by these header lines (without the status line).
BodyFraming bodyFraming(const QList<QByteArray> &headerLines);

// The size of a chunk from its size line (without its line end): hex
// digits, then optionally ";" and extensions, which are of no interest.
// Empty when the line is no such thing.
std::optional<qint64> chunkSize(QByteArrayView line);

} // namespace update
