#include "hostilejpeg.h"

#include <QRandomGenerator>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace bench {

namespace {

constexpr int Side = 10000;
constexpr int Scans = 498;
constexpr int NoiseSide = 100;

// The script: the DC coefficients of all components together (a first pass
// and a refinement), then every AC coefficient of every component in a band
// of its own, each band in a first pass and one refinement, and the first
// bands in two refinements until the count is reached.
std::vector<jpeg_scan_info> scanScript()
{
    std::vector<jpeg_scan_info> scans;
    jpeg_scan_info dc{};
    dc.comps_in_scan = 3;
    for (int c = 0; c < 3; ++c)
        dc.component_index[c] = c;
    dc.Al = 1;
    scans.push_back(dc);
    dc.Ah = 1;
    dc.Al = 0;
    scans.push_back(dc);
    const int bands = 3 * 63;
    const int deeper = Scans - 2 - 2 * bands; // bands sent in three passes
    for (int b = 0; b < bands; ++b) {
        const int passes = b < deeper ? 3 : 2;
        jpeg_scan_info ac{};
        ac.comps_in_scan = 1;
        ac.component_index[0] = b / 63;
        ac.Ss = ac.Se = 1 + b % 63;
        for (int p = 0; p < passes; ++p) {
            ac.Ah = p == 0 ? 0 : passes - p;
            ac.Al = passes - 1 - p;
            scans.push_back(ac);
        }
    }
    return scans;
}

} // namespace

QByteArray hostileProgressiveJpeg()
{
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = Side;
    cinfo.image_height = Side;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    const std::vector<jpeg_scan_info> script = scanScript();
    cinfo.scan_info = script.data();
    cinfo.num_scans = int(script.size());
    cinfo.optimize_coding = TRUE;
    jpeg_start_compress(&cinfo, TRUE);

    std::vector<JSAMPLE> row(size_t(Side) * 3, 128);
    QRandomGenerator random(6500);
    while (cinfo.next_scanline < cinfo.image_height) {
        if (cinfo.next_scanline < NoiseSide) {
            for (int x = 0; x < NoiseSide * 3; ++x)
                row[size_t(x)] = JSAMPLE(random.bounded(256));
        } else if (cinfo.next_scanline == NoiseSide) {
            std::fill(row.begin(), row.end(), JSAMPLE(128));
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray bytes(reinterpret_cast<const char *>(buffer), qsizetype(size));
    std::free(buffer);
    return bytes;
}

} // namespace bench
