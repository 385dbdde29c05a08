#pragma once

// A decoded picture shrunk to the size it is shown at row by row, as the
// decoder gives its rows, so that a picture fitted to its place is ready as
// soon as its last row is decoded.
#include <QSize>
#include <QtGlobal>

#include <memory>
#include <vector>

namespace jpegimage::detail {

class RowShrink
{
public:
    // Only this much smaller in each direction: past it the decoder's own
    // scaling does the rest or the picture is shrunk whole (see fits).
    static constexpr int MaxRatio = 4;
    static bool fits(QSize from, QSize to);

    // to: into pixels, 4 bytes a pixel (QImage::Format_RGB32) without gaps
    // between rows; bandRows: how many source rows the decoder gives at a
    // time. Null when there is no memory for it: no exception leaves it.
    static std::unique_ptr<RowShrink> make(QSize from, QSize to, unsigned char *pixels,
                                           int bandRows);
    RowShrink(QSize from, QSize to, unsigned char *pixels, int bandRows);
    // Where the decoder puts the source rows of one call, each then added.
    unsigned char *bandRow(int i) { return m_band.data() + size_t(i) * m_bandStride; }
    // The next row of the source, in the same layout.
    void add(const unsigned char *row);

private:
    // Each cell of the result averages the area of the source cells it
    // covers: the first of them, how many, and their weights. Every cell
    // has `taps` weights, those past its count 0, so that the loop over
    // them has a length the compiler knows.
    struct Spans
    {
        std::vector<int> first;
        std::vector<int> count;
        std::vector<unsigned> weights; // taps a cell, each cell's summing to its one
        int taps = 1;
        Spans(int from, int to, unsigned one);
    };
    template<int Taps>
    void across(const quint16 *sum);

    int m_toWidth;
    int m_toHeight;
    unsigned char *m_pixels;
    Spans m_columns;
    Spans m_rows;
    std::vector<quint16> m_sums[2]; // the result rows being summed, by parity
    size_t m_bandStride;
    std::vector<unsigned char> m_band;
    int m_sourceRow = 0;
    int m_row = 0; // the first result row not written yet
};

} // namespace jpegimage::detail
