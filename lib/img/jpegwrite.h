// JPEG files by libjpeg itself, laid out as ImageMagick's writer lays them
// out. Its JPEG coder spends about as long moving samples out of its pixel
// cache as libjpeg spends encoding them; imgconv.cpp works out from an
// image what ImageMagick would choose (the layout below), hands the samples
// over row by row, and takes this route only after checking once that
// ImageMagick writes the same bytes.
#ifndef JPEGWRITE_H
#define JPEGWRITE_H

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct JpegLayout {
    size_t width = 0, height = 0;
    bool gray = false;      // one component; else three, RGB given, YCbCr stored
    int quality = 92;       // libjpeg's scaling of its standard tables, 1..100
    bool fast_dct = false;  // the fast integer DCT instead of the default one
    // Horizontal and vertical sampling factors of the components, from the
    // first on; libjpeg's defaults when empty.
    std::vector<std::pair<int, int>> sampling;
    // The JFIF density, when not libjpeg's default (1:1, no unit).
    bool density = false;
    unsigned short x_density = 1, y_density = 1;
    int density_unit = -1;  // 0 none, 1 per inch, 2 per cm; -1 libjpeg's default
    // Markers written after the header, in this order: code (0xFE comment,
    // 0xE0 + n application segment n) and contents.
    std::vector<std::pair<int, std::string>> markers;
};

// Fills `samples` with row `y` (width * components 8-bit samples); false
// when the row cannot be had.
using JpegRows = std::function<bool(size_t y, unsigned char *samples)>;

// Encodes with Huffman tables optimized for the image, to the stream `out`
// or, when it is null, to `*mem`. False on a libjpeg error (its message in
// *why) or a row that could not be had; never ends the process.
bool write_jpeg(const JpegLayout &layout, const JpegRows &rows, FILE *out,
                std::vector<unsigned char> *mem, std::string *why);

#endif
