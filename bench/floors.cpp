#include "floors.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include <jpeglib.h>

namespace {

double thread_ms() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

template <class F>
double median_ms(int reps, F &&once) {
    if (!once()) return -1;  // warm-up: caches, allocator, page faults
    std::vector<double> t;
    for (int r = 0; r < std::max(reps, 1); r++) {
        const double t0 = thread_ms();
        if (!once()) return -1;
        t.push_back(thread_ms() - t0);
    }
    std::sort(t.begin(), t.end());
    const size_t n = t.size();
    return n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
}

// libjpeg ends the process on an error by default; here it returns instead.
struct Failure {
    jpeg_error_mgr mgr;
    jmp_buf back;
};

void fail_back(j_common_ptr c) { longjmp(((Failure *)c->err)->back, 1); }
void keep_quiet(j_common_ptr, int) {}

// The decoded file and what its header says about how it was encoded.
struct Decoded {
    std::vector<unsigned char> samples;
    int width = 0, height = 0, components = 0;
    J_COLOR_SPACE space = JCS_UNKNOWN;
    int quality = 92;
    int h_samp[MAX_COMPONENTS] = {}, v_samp[MAX_COMPONENTS] = {};
};

std::vector<unsigned char> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The quality whose scaled standard tables libjpeg would write, when the
// file's first table is one of them; ImageMagick's estimate agrees there.
int matching_quality(const JQUANT_TBL *const *tables) {
    if (!tables[0]) return 92;
    jpeg_compress_struct c;
    Failure err;
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = fail_back;
    if (setjmp(err.back)) {
        jpeg_destroy_compress(&c);
        return 92;
    }
    jpeg_create_compress(&c);
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    int found = 92;
    for (int q = 100; q >= 1; q--) {
        jpeg_set_quality(&c, q, TRUE);
        bool same = true;
        for (int t = 0; t < 2 && same; t++)
            if (tables[t])
                same = memcmp(tables[t]->quantval, c.quant_tbl_ptrs[t]->quantval,
                              sizeof tables[t]->quantval) == 0;
        if (same) {
            found = q;
            break;
        }
    }
    jpeg_destroy_compress(&c);
    return found;
}

// Decodes `bytes`; with `out`, keeps the samples and header facts there.
bool decode(const std::vector<unsigned char> &bytes, Decoded *out) {
    jpeg_decompress_struct d;
    Failure err;
    d.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = fail_back;
    err.mgr.emit_message = keep_quiet;
    std::vector<unsigned char> local;
    Decoded facts;
    if (setjmp(err.back)) {
        jpeg_destroy_decompress(&d);
        return false;
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, bytes.data(), (unsigned long)bytes.size());
    if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK) longjmp(err.back, 1);
    facts.quality = matching_quality(d.quant_tbl_ptrs);
    for (int k = 0; k < d.num_components && k < MAX_COMPONENTS; k++) {
        facts.h_samp[k] = d.comp_info[k].h_samp_factor;
        facts.v_samp[k] = d.comp_info[k].v_samp_factor;
    }
    jpeg_start_decompress(&d);
    const size_t stride = (size_t)d.output_width * d.output_components;
    std::vector<unsigned char> &px = out ? out->samples : local;
    px.resize(stride * d.output_height);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = px.data() + stride * d.output_scanline;
        jpeg_read_scanlines(&d, &row, 1);
    }
    if (out) {
        facts.samples = std::move(out->samples);
        facts.width = (int)d.output_width;
        facts.height = (int)d.output_height;
        facts.components = d.output_components;
        facts.space = d.out_color_space;
        *out = std::move(facts);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return true;
}

// Encodes as ImageMagick's writer does for an image read from such a file:
// the quality, the file's sampling factors (kept with the image), Huffman
// tables optimized for the image.
bool encode(const Decoded &img, unsigned char **mem, unsigned long *size) {
    jpeg_compress_struct c;
    Failure err;
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = fail_back;
    if (setjmp(err.back)) {
        jpeg_destroy_compress(&c);
        return false;
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, mem, size);
    c.image_width = (JDIMENSION)img.width;
    c.image_height = (JDIMENSION)img.height;
    c.input_components = img.components;
    c.in_color_space = img.space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, img.quality, TRUE);
    if (img.quality <= 90) c.dct_method = JDCT_IFAST;  // ImageMagick's choice there
    c.optimize_coding = TRUE;
    for (int k = 0; k < c.num_components && k < MAX_COMPONENTS; k++) {
        c.comp_info[k].h_samp_factor = img.h_samp[k] > 0 ? img.h_samp[k] : 1;
        c.comp_info[k].v_samp_factor = img.v_samp[k] > 0 ? img.v_samp[k] : 1;
    }
    jpeg_start_compress(&c, TRUE);
    const size_t stride = (size_t)img.width * img.components;
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = (JSAMPROW)img.samples.data() + stride * c.next_scanline;
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return true;
}

}  // namespace

double floor_jpeg_decode_ms(const std::string &path, int reps) {
    const std::vector<unsigned char> bytes = file_bytes(path);
    if (bytes.empty()) return -1;
    Decoded img;
    return median_ms(reps, [&] { return decode(bytes, &img); });
}

double floor_jpeg_encode_ms(const std::string &path, int reps) {
    const std::vector<unsigned char> bytes = file_bytes(path);
    Decoded img;
    if (bytes.empty() || !decode(bytes, &img)) return -1;
    // One block big enough for any output, handed over afresh each time, so
    // that neither allocation nor growth is timed.
    const unsigned long capacity = (unsigned long)img.samples.size() * 2 + (1 << 20);
    unsigned char *block = (unsigned char *)malloc(capacity);
    if (!block) return -1;
    memset(block, 0, capacity);
    unsigned char *mem = block;
    const double ms = median_ms(reps, [&] {
        mem = block;
        unsigned long size = capacity;
        return encode(img, &mem, &size) && mem == block;
    });
    if (mem != block) free(mem);
    free(block);
    return ms;
}

double floor_pass_ms(size_t read_bytes, size_t write_bytes, int reps) {
    const size_t nr = (read_bytes + 7) / 8, nw = (write_bytes + 7) / 8;
    std::vector<uint64_t> src(nr), dst(nw);
    for (size_t i = 0; i < nr; i++) src[i] = i * 0x9E3779B97F4A7C15ULL;
    volatile uint64_t sink = 0;
    const double ms = median_ms(reps, [&] {
        uint64_t acc = 0;
        const size_t both = std::min(nr, nw);
        for (size_t i = 0; i < both; i++) dst[i] = acc += src[i];
        for (size_t i = both; i < nr; i++) acc += src[i];
        for (size_t i = both; i < nw; i++) dst[i] = acc + i;
        sink = sink + acc + (nw ? dst[nw / 2] : 0);
        return true;
    });
    (void)sink;
    return ms;
}
