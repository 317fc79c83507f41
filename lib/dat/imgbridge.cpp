// Grey and colour images as datfiles of bytes: samples on the 0..1 scale
// are stored multiplied by 255 (rounded and clamped by the conversion to
// unsigned_1) and divided by 255 again when loaded.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dat.h"
#include "imgconv.h"
#include "fail.h"
#include "mtxown.h"

namespace {

const char *const WRONG_DEPTH = "ERROR: Wrong Matrix Depth, Image can't be written!\n";

void scale(matrix *m, double f) {
    double *p = m->pix[0];
    size_t n = (size_t)m->nrows * m->ncols;
    for (size_t i = 0; i < n; i++) p[i] *= f;
}

}  // namespace

void mtx2dat_img(matrix *mtx, const char *filename) {
    MatrixPtr copy(alloc_mtx(mtx->nrows, mtx->ncols));
    double *src = mtx->pix[0], *dst = copy->pix[0];
    size_t n = (size_t)mtx->nrows * mtx->ncols;
    for (size_t i = 0; i < n; i++) dst[i] = src[i] * 255.0;
    write_mtx(copy.get(), 'b', filename);
}

matrix *dat2mtx_img(const char *filename) {
    MatrixPtr m(load_mtx(filename));
    scale(m.get(), 1.0 / 255.0);
    return m.release();
}

void clrmtx2dat(colormatrix *clrimgmtx, const char *filename) {
    if (!colormtx_complete(clrimgmtx)) {
        lib_puts(1, WRONG_DEPTH);
        return;
    }
    int64_t plane = (int64_t)clrimgmtx->height * clrimgmtx->width;
    if (3 * plane > INT_MAX) _daterrh("clrmtx2dat: image too large for %s\n", filename);
    std::vector<double> packed((size_t)(3 * plane));
    for (int c = 0; c < 3; c++) {
        const double *p = clrimgmtx->chans[c]->pix[0];
        for (int64_t i = 0; i < plane; i++) packed[(size_t)(c * plane + i)] = p[i] * 255.0;
    }
    DATFILE *h = d_open(filename, "w");
    if (!h) {
        lib_fatal(1, "Cannot open file\n");
    }
    d_settype(h, 'b');
    int32_t dims[2] = {clrimgmtx->height, clrimgmtx->width};
    d_setdim(h, 1, 3, dims, 2);
    _dwrite(h, packed.data(), (int)(3 * plane), 'F');
    d_close(h);
}

colormatrix *dat2clrmtx(const char *filename) {
    DATFILE *h = d_open(filename, "r");
    if (!h) {
        lib_fatal(1, "Aborting...\n", std::string("Cannot open file ") + filename + "\n");
    }
    d_addr size;
    if (d_getsubdim(h, &size) != 2 || size.chan != 3) {
        lib_fatal(1, "load_mtx: can only handle RGB image and 2D matrices...\n");
    }
    ColorPtr cm(calloc_colormtx("RGB", 3, size.dim[0], size.dim[1]));
    for (int c = 0; c < 3; c++) {
        matrix *m = alloc_mtx(size.dim[0], size.dim[1]);
        cm->chans[c] = m;
        int64_t n = (int64_t)m->nrows * m->ncols;
        if (n > INT_MAX) _daterrh("dat2clrmtx: image too large in %s\n", filename);
        _dread(h, m->pix[0], (int)n, 'F');
        scale(m, 1.0 / 255.0);
    }
    d_close(h);
    return cm.release();
}

void im2dat_gray(const char *imgname, const char *datname) {
    MatrixPtr m(im2mtx(imgname, "I"));
    if (!m) {
        lib_fatalf(1, "im2dat_gray: cannot read image %s\n", imgname);
    }
    mtx2dat_img(m.get(), datname);
}

void im2dat_rgb(const char *imgname, const char *datname) {
    ColorPtr cm(im2colormtx(imgname));
    if (!cm) {
        lib_fatalf(1, "im2dat_rgb: cannot read image %s\n", imgname);
    }
    clrmtx2dat(cm.get(), datname);
}

void dat2im_gray(const char *datname, const char *imgname) {
    MatrixPtr m(dat2mtx_img(datname));
    mtx2im(m.get(), imgname);
}

void dat2im_rgb(const char *datname, const char *imgname) {
    ColorPtr cm(dat2clrmtx(datname));
    if (cm->chanum != 3) {
        lib_fatal(1, "dat file is not a rgb image\n");
    }
    rgbmtx2im(cm.get(), imgname);
}
