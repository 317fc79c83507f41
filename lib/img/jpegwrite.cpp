#include "jpegwrite.h"

#include <csetjmp>
#include <cstdlib>

#include <jpeglib.h>

namespace {

// libjpeg's default error handler ends the process; this one returns to
// the call with libjpeg's message.
struct ErrorReturn {
    jpeg_error_mgr mgr;
    jmp_buf back;
    char message[JMSG_LENGTH_MAX];
};

void return_on_error(j_common_ptr c) {
    auto *err = (ErrorReturn *)c->err;
    (*c->err->format_message)(c, err->message);
    longjmp(err->back, 1);
}

// Warnings do not stop a write, as in ImageMagick's coder.
void ignore_message(j_common_ptr, int) {}

}  // namespace

bool write_jpeg(const JpegLayout &layout, const JpegRows &rows, FILE *out,
                std::vector<unsigned char> *mem, std::string *why) {
    const int components = layout.gray ? 1 : 3;
    if (layout.width == 0 || layout.height == 0 || layout.width > JPEG_MAX_DIMENSION ||
        layout.height > JPEG_MAX_DIMENSION || layout.sampling.size() > MAX_COMPONENTS ||
        (!out && !mem)) {
        *why = "no image to encode, or one too large for JPEG";
        return false;
    }
    std::vector<unsigned char> row(layout.width * components);
    unsigned char *block = nullptr;  // libjpeg's memory output
    unsigned long block_size = 0;
    bool rows_ok = true;
    jpeg_compress_struct c;
    ErrorReturn err;
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = return_on_error;
    err.mgr.emit_message = ignore_message;
    if (setjmp(err.back)) {
        jpeg_destroy_compress(&c);
        free(block);
        *why = err.message;
        return false;
    }
    jpeg_create_compress(&c);
    if (out)
        jpeg_stdio_dest(&c, out);
    else
        jpeg_mem_dest(&c, &block, &block_size);
    c.image_width = (JDIMENSION)layout.width;
    c.image_height = (JDIMENSION)layout.height;
    c.input_components = components;
    c.in_color_space = layout.gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    if (layout.density) {
        c.write_JFIF_header = TRUE;
        c.X_density = layout.x_density;
        c.Y_density = layout.y_density;
        if (layout.density_unit >= 0) c.density_unit = (UINT8)layout.density_unit;
    }
    c.optimize_coding = TRUE;
    jpeg_set_quality(&c, layout.quality, TRUE);
    if (layout.fast_dct) c.dct_method = JDCT_IFAST;
    for (size_t k = 0; k < layout.sampling.size(); k++) {
        c.comp_info[k].h_samp_factor = layout.sampling[k].first;
        c.comp_info[k].v_samp_factor = layout.sampling[k].second;
    }
    jpeg_start_compress(&c, TRUE);
    for (const auto &marker : layout.markers)
        jpeg_write_marker(&c, marker.first, (const JOCTET *)marker.second.data(),
                          (unsigned)marker.second.size());
    JSAMPROW rowp[1] = {row.data()};
    for (size_t y = 0; y < layout.height && rows_ok; y++) {
        rows_ok = rows(y, row.data());
        if (rows_ok) jpeg_write_scanlines(&c, rowp, 1);
    }
    if (rows_ok) jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    if (!rows_ok) {
        free(block);
        *why = "the pixels could not be read";
        return false;
    }
    if (!out) {
        mem->assign(block, block + block_size);
        free(block);
    }
    return true;
}
