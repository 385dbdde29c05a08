#include "link/jpegshrink.h"

#include <algorithm>
#include <new>

namespace jpegimage::detail {

namespace {

// Across, each pixel's weight out of 1 << 14; down, each row's out of
// 1 << 8: a channel of 255 summed both ways stays within 32 bits.
constexpr unsigned AcrossOne = 1u << 14;
constexpr unsigned DownOne = 1u << 8;
constexpr int Shift = 22; // log2(AcrossOne * DownOne)

// A channel times its weight down, summed over the rows of a result row,
// stays within 255 * DownOne and so within 16 bits. Apart, with the row and
// the sums marked as not overlapping, so that the compiler takes many
// channels a step. The first row of a result row starts its sums.
void sumDown(quint16 *__restrict sum, const unsigned char *__restrict row, size_t n,
             unsigned weight, bool first)
{
    const auto w = quint16(weight);
    if (first) {
        for (size_t i = 0; i < n; ++i)
            sum[i] = quint16(w * row[i]);
    } else {
        for (size_t i = 0; i < n; ++i)
            sum[i] = quint16(sum[i] + w * row[i]);
    }
}

} // namespace

bool RowShrink::fits(QSize from, QSize to)
{
    return !to.isEmpty() && to.width() <= from.width() && to.height() <= from.height() && to != from
           && from.width() <= qint64(to.width()) * MaxRatio
           && from.height() <= qint64(to.height()) * MaxRatio;
}

// Measured in units in which a source cell is `to` wide and a result cell
// `from`, every boundary falls on a whole unit.
RowShrink::Spans::Spans(int from, int to, unsigned one)
{
    for (int cell = 0; cell < to; ++cell) {
        const qint64 begin = qint64(cell) * from;
        const int firstSource = int(begin / to);
        const int lastSource = int((begin + from - 1) / to);
        taps = std::max(taps, lastSource - firstSource + 1);
    }
    for (int cell = 0; cell < to; ++cell) {
        const qint64 begin = qint64(cell) * from;
        const qint64 end = begin + from;
        const int firstSource = int(begin / to);
        const int lastSource = int((end - 1) / to);
        first.push_back(firstSource);
        count.push_back(lastSource - firstSource + 1);
        unsigned given = 0;
        for (int source = firstSource; source < firstSource + taps; ++source) {
            const qint64 covered
                    = std::min(end, qint64(source + 1) * to) - std::max(begin, qint64(source) * to);
            const unsigned weight = source > lastSource    ? 0
                                    : source == lastSource ? one - given
                                                           : unsigned(covered * one / from);
            weights.push_back(weight);
            given += weight;
        }
    }
}

std::unique_ptr<RowShrink> RowShrink::make(QSize from, QSize to, unsigned char *pixels,
                                           int bandRows)
{
    try {
        return std::make_unique<RowShrink>(from, to, pixels, bandRows);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

RowShrink::RowShrink(QSize from, QSize to, unsigned char *pixels, int bandRows)
    : m_toWidth(to.width())
    , m_toHeight(to.height())
    , m_pixels(pixels)
    , m_columns(from.width(), to.width(), AcrossOne)
    , m_rows(from.height(), to.height(), DownOne)
    , m_bandStride(size_t(from.width()) * 4)
    , m_band(m_bandStride * size_t(bandRows))
{
    // The last cells' taps past their count read beyond the row's end.
    const size_t sums = (size_t(from.width()) + MaxRatio + 1) * 4;
    m_sums[0].assign(sums, 0);
    m_sums[1].assign(sums, 0);
}

// A summed row of the source, 4 channels a pixel, shrunk across into the
// next row of the result.
template<int Taps>
void RowShrink::across(const quint16 *sum)
{
    unsigned char *out = m_pixels + size_t(m_row) * size_t(m_toWidth) * 4;
    const unsigned *w = m_columns.weights.data();
    constexpr unsigned Half = 1u << (Shift - 1);
    for (int x = 0; x < m_toWidth; ++x, out += 4, w += Taps) {
        const quint16 *p = sum + 4 * size_t(m_columns.first[x]);
        unsigned c0 = Half, c1 = Half, c2 = Half;
        for (int i = 0; i < Taps; ++i) {
            c0 += w[i] * p[4 * i];
            c1 += w[i] * p[4 * i + 1];
            c2 += w[i] * p[4 * i + 2];
        }
        out[0] = static_cast<unsigned char>(c0 >> Shift);
        out[1] = static_cast<unsigned char>(c1 >> Shift);
        out[2] = static_cast<unsigned char>(c2 >> Shift);
        out[3] = 0xFF;
    }
    ++m_row;
}

void RowShrink::add(const unsigned char *row)
{
    if (m_row >= m_toHeight)
        return;
    const int source = m_sourceRow++;
    // Down first, over whole source rows, which the compiler can do many
    // channels at a time; a source row falls into at most two result rows:
    // the first not written yet and the one after it.
    for (int y = m_row; y < std::min(m_row + 2, m_toHeight); ++y) {
        const int offset = source - m_rows.first[y];
        if (offset < 0 || offset >= m_rows.count[y])
            continue;
        const unsigned weight = m_rows.weights[size_t(y) * size_t(m_rows.taps) + size_t(offset)];
        sumDown(m_sums[y & 1].data(), row, m_bandStride, weight, offset == 0);
    }
    while (m_row < m_toHeight && source == m_rows.first[m_row] + m_rows.count[m_row] - 1) {
        const quint16 *sum = m_sums[m_row & 1].data();
        switch (m_columns.taps) {
        case 1:
            across<1>(sum);
            break;
        case 2:
            across<2>(sum);
            break;
        case 3:
            across<3>(sum);
            break;
        case 4:
            across<4>(sum);
            break;
        default:
            across<MaxRatio + 1>(sum);
            break;
        }
    }
}

} // namespace jpegimage::detail
