#include "support/hostilejpeg.h"

namespace hostilejpeg {

namespace {

class BitWriter
{
public:
    void put(quint32 bits, int count)
    {
        for (int i = count - 1; i >= 0; --i) {
            m_byte = quint8(m_byte << 1 | ((bits >> i) & 1));
            if (++m_filled == 8)
                flushByte();
        }
    }
    // Pads the last byte with one bits, as the format asks.
    QByteArray finish()
    {
        while (m_filled != 0)
            put(1, 1);
        return m_data;
    }

private:
    void flushByte()
    {
        m_data += char(m_byte);
        if (m_byte == 0xFF)
            m_data += char(0); // byte stuffing
        m_byte = 0;
        m_filled = 0;
    }
    QByteArray m_data;
    quint8 m_byte = 0;
    int m_filled = 0;
};

void segment(QByteArray &out, quint8 marker, const QByteArray &body)
{
    out += char(0xFF);
    out += char(marker);
    const int length = int(body.size()) + 2;
    out += char(length >> 8);
    out += char(length & 0xFF);
    out += body;
}

QByteArray scanHeader(int components, int component, int ss, int se, int ah, int al)
{
    QByteArray body;
    if (component < 0) {
        body += char(components);
        for (int c = 0; c < components; ++c) {
            body += char(c + 1);
            body += char(0x00);
        }
    } else {
        body += char(1);
        body += char(component + 1);
        body += char(0x00);
    }
    body += char(ss);
    body += char(se);
    body += char(ah << 4 | al);
    return body;
}

// End-of-band runs over `blocks` blocks. The AC table gives the symbols EOB0
// to EOB14 (run class r in the high nibble) the four-bit codes 0 to 14.
QByteArray endOfBandRuns(qint64 blocks)
{
    BitWriter bits;
    while (blocks > 0) {
        const qint64 run = std::min<qint64>(blocks, 32767);
        int r = 0;
        while ((qint64(1) << (r + 1)) <= run)
            ++r;
        bits.put(quint32(r), 4);
        if (r > 0)
            bits.put(quint32(run - (qint64(1) << r)), r);
        blocks -= run;
    }
    return bits.finish();
}

} // namespace

QByteArray progressive(int width, int height, int scans, Bands bands, int components)
{
    QByteArray out("\xFF\xD8", 2);
    segment(out, 0xDB, QByteArray(1, '\0') + QByteArray(64, char(1)));

    QByteArray frame;
    frame += char(8);
    frame += char(height >> 8);
    frame += char(height & 0xFF);
    frame += char(width >> 8);
    frame += char(width & 0xFF);
    frame += char(components);
    for (int c = 0; c < components; ++c) {
        frame += char(c + 1);
        frame += char(0x11);
        frame += char(0);
    }
    segment(out, 0xC2, frame);

    // DC table 0: one symbol (difference class 0) with the one-bit code 0.
    QByteArray dc(1, char(0x00));
    dc += char(1);
    dc += QByteArray(15, '\0');
    dc += char(0);
    segment(out, 0xC4, dc);
    // AC table 0: EOB0 .. EOB14, fifteen codes of four bits.
    QByteArray ac(1, char(0x10));
    ac += QByteArray(3, '\0');
    ac += char(15);
    ac += QByteArray(12, '\0');
    for (int r = 0; r < 15; ++r)
        ac += char(r << 4);
    segment(out, 0xC4, ac);

    const qint64 blocks = qint64((width + 7) / 8) * ((height + 7) / 8);
    segment(out, 0xDA, scanHeader(components, -1, 0, 0, 0, 0));
    {
        BitWriter bits;
        for (qint64 i = 0; i < blocks * components; ++i)
            bits.put(0, 1);
        out += bits.finish();
    }
    // Per component: each coefficient first at the coarsest precision, then
    // refined a bit at a time, the same valid order as any encoder's.
    const QByteArray runs = endOfBandRuns(blocks);
    for (int s = 1; s < scans; ++s) {
        const int component = (s - 1) % components;
        const int index = (s - 1) / components;
        if (bands == Bands::Narrow) {
            // 0 .. 692 is valid: 63 bands, each in 11 scans.
            const int k = 1 + index % 63;
            const int round = index / 63; // 0: first scan, then refinements
            if (round == 0)
                segment(out, 0xDA, scanHeader(components, component, k, k, 0, 10));
            else
                segment(out, 0xDA, scanHeader(components, component, k, k, 11 - round, 10 - round));
        } else {
            // 0 .. 13 is valid: the whole band, in 14 scans.
            if (index == 0)
                segment(out, 0xDA, scanHeader(components, component, 1, 63, 0, 13));
            else
                segment(out, 0xDA,
                        scanHeader(components, component, 1, 63, 14 - index, 13 - index));
        }
        out += runs;
    }
    out += "\xFF\xD9";
    return out;
}

} // namespace hostilejpeg
