// Gaussian pyramid and separable filtering.
//
// A separable filter runs as two one-dimensional passes over a border-
// extended copy of the input: the row pass filters every extended row but
// only at the retained (subsampled) columns, the column pass then filters
// those columns at the retained rows only. Taps are reversed and scaled by
// the gain once per pass, so both passes are true convolutions.
//
// Every pass accumulates its taps in increasing order starting from 0.0;
// stored features are compared across runs, so that order must not change
// (no reassociation, no fused multiply-add).
//
// Periodic borders are computed by modular indexing, so a border wider than
// the input simply wraps again instead of reading stale or foreign samples.
// Output sizes are checked against the input before any sample is read.
//
// The pyramid's own case (periodic, step 2, exact half sizes) is the hot
// one of both programs; it runs vectorised without the intermediate matrix
// (pyrlevel.inc), to the same bits.
#include "mres.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include "fail.h"
#include "mtxown.h"
#include "mtxsize.h"
#include "simd.h"

// The one body, compiled for each vector target.
namespace pyr {
#define SIMD_BODY "pyrlevel.inc"
#include "simd_variants.inc"
}  // namespace pyr

const double gaufilter[5] = {0.05, 0.25, 0.4, 0.25, 0.05};

namespace {

[[noreturn]] void fail(const char *msg) { lib_fatal(1, msg); }

void check_filter(const matrix *f) {
    if (f == nullptr || f->ncols != 1 || f->nrows < 1)
        fail("convolve: filter must be 1d column vector\n");
}

// Reversed taps scaled by the gain: b(k) = gain * f(L-1-k).
std::vector<double> reversed_taps(const matrix *f, double gain) {
    int L = f->nrows;
    std::vector<double> b((size_t)L);
    for (int k = 0; k < L; k++) b[(size_t)k] = gain * f->pix[L - 1 - k][0];
    return b;
}

// True when offset + (n-1)*step + L - 1 stays below limit (or n == 0).
bool window_fits(int n, int step, int offset, int L, int limit) {
    if (n <= 0) return true;
    if (step < 1 || offset < 0) return false;
    int64_t last = (int64_t)offset + (int64_t)(n - 1) * step + L - 1;
    return last <= (int64_t)limit - 1;
}

inline int wrap(int64_t i, int n) {
    int64_t r = i % n;
    return (int)(r < 0 ? r + n : r);
}

int checked_dim(int64_t n, const char *msg) {
    int64_t dim;
    if (!checked_size({n}, INT_MAX, &dim)) fail(msg);
    return (int)dim;
}

// dst[x] = sum over k of src[x*step + k] * b[k], taps added in increasing k
// from 0.0, for x < nout.
void convolve_row(const double *src, int nout, int step, const double *b, int L, double *dst) {
    for (int x = 0; x < nout; x++) {
        const double *p = src + (size_t)x * step;
        double s = 0.0;
        for (int k = 0; k < L; k++) s = p[k] * b[k] + s;
        dst[x] = s;
    }
}

// A row of W samples with `left` and `right` periodic border samples
// around it, into dst (left + W + right samples).
void wrap_row(const double *src, int W, int left, int right, double *dst) {
    memcpy(dst + left, src, (size_t)W * sizeof(double));
    for (int j = 0; j < left; j++) dst[j] = src[wrap((int64_t)j - left, W)];
    for (int j = left + W; j < left + W + right; j++) dst[j] = src[(j - left) % W];
}

}  // namespace

matrix *mk_gaufilter(void) {
    matrix *f = alloc_mtx(5, 1);
    for (int k = 0; k < 5; k++) f->pix[k][0] = gaufilter[k];
    return f;
}

void row_convolve(matrix *in, matrix *out, matrix *filt, int step, int offset, double gain) {
    check_filter(filt);
    const int L = filt->nrows;
    const int nout = out->ncols;
    if (out->nrows < in->nrows || !window_fits(nout, step, offset, L, in->ncols))
        fail("row_convolve: output size does not fit the input\n");
    std::vector<double> taps = reversed_taps(filt, gain);
    const double *b = taps.data();

    for (int i = 0; i < in->nrows; i++)
        convolve_row(in->pix[i] + offset, nout, step, b, L, out->pix[i]);
}

void col_convolve(matrix *in, matrix *out, matrix *filt, int step, int offset, double gain) {
    check_filter(filt);
    const int L = filt->nrows;
    const int nout = out->nrows;
    const int ncols = in->ncols;
    if (out->ncols < ncols || !window_fits(nout, step, offset, L, in->nrows))
        fail("col_convolve: output size does not fit the input\n");
    std::vector<double> taps = reversed_taps(filt, gain);
    const double *b = taps.data();

    // The output row itself is the accumulator: each element still sums its
    // taps in increasing k from 0.0, but the inner loop runs along a row.
    for (int y = 0; y < nout; y++) {
        double *dst = out->pix[y];
        for (int j = 0; j < ncols; j++) dst[j] = 0.0;
        const int r0 = offset + y * step;
        for (int k = 0; k < L; k++) {
            const double *src = in->pix[r0 + k];
            const double bk = b[k];
            for (int j = 0; j < ncols; j++) dst[j] = src[j] * bk + dst[j];
        }
    }
}

matrix *augment_borders(matrix *in, int top, int bottom, int left, int right, int mode) {
    if (top < 0 || bottom < 0 || left < 0 || right < 0)
        fail("augment_borders: border widths must not be negative\n");
    const int H = in->nrows, W = in->ncols;
    const char *big = "augment_borders: extended matrix too large\n";
    int rows = checked_dim((int64_t)top + H + bottom, big);
    int cols = checked_dim((int64_t)left + W + right, big);
    MatrixPtr e(calloc_mtx(rows, cols));

    if (mode == 'z') {
        for (int i = 0; i < H; i++)
            memcpy(e->pix[top + i] + left, in->pix[i], (size_t)W * sizeof(double));
    } else if (mode == 'w') {
        // E(i, j) = in((i - top) mod H, (j - left) mod W) everywhere.
        for (int i = 0; i < rows; i++)
            wrap_row(in->pix[wrap((int64_t)i - top, H)], W, left, right, e->pix[i]);
    } else {
        fail("Unknown mode in aufgment_boundaries\n");
    }
    return e.release();
}

matrix *upsample(matrix *in, int hfac, int vfac) {
    if (hfac <= 0 || vfac <= 0) fail("upsample: factors must be positive\n");
    const char *big = "upsample: upsampled matrix too large\n";
    int rows = checked_dim((int64_t)vfac * in->nrows, big);
    int cols = checked_dim((int64_t)hfac * in->ncols, big);
    matrix *u = calloc_mtx(rows, cols);
    for (int i = 0; i < in->nrows; i++) {
        const double *src = in->pix[i];
        double *dst = u->pix[(size_t)i * vfac];
        for (int j = 0; j < in->ncols; j++) dst[(size_t)j * hfac] = src[j];
    }
    return u;
}

namespace {

// Row pass over the border-extended input without building it: each
// extended row is assembled in a scratch row (the same samples augment_borders
// would hold) and filtered into row i of t.
void row_pass_extended(matrix *in, matrix *t, matrix *hfilt, int top, int left, int right,
                       int hstep, int hoff, int mode, double rgain) {
    check_filter(hfilt);
    const int H = in->nrows, W = in->ncols, L = hfilt->nrows, nout = t->ncols;
    const int cols = left + W + right;
    if (!window_fits(nout, hstep, hoff, L, cols))
        fail("row_convolve: output size does not fit the input\n");
    std::vector<double> taps = reversed_taps(hfilt, rgain);
    const double *b = taps.data();
    std::vector<double> ext((size_t)cols, 0.0);
    for (int i = 0; i < t->nrows; i++) {
        const int64_t r = (int64_t)i - top;
        if (mode == 'w')
            wrap_row(in->pix[wrap(r, H)], W, left, right, ext.data());
        else if (r >= 0 && r < H)
            memcpy(ext.data() + left, in->pix[r], (size_t)W * sizeof(double));
        else
            std::fill(ext.begin(), ext.end(), 0.0);
        convolve_row(ext.data() + hoff, nout, hstep, b, L, t->pix[i]);
    }
}

}  // namespace

void sep_filt2d(matrix *in, matrix *out, matrix *vfilt, matrix *hfilt, int hstep, int vstep,
                int hoff, int voff, int mode, int hitp, int vitp, int ups, double rgain,
                double cgain) {
    if (hstep <= 0 || vstep <= 0 || hitp <= 0 || vitp <= 0)
        fail("sep_filt2d: itp & step must be positive \n");
    // Only a missing filter is refused here; a malformed one is refused by
    // the pass that uses it, after the border mode has been checked.
    if (vfilt == nullptr || hfilt == nullptr) check_filter(nullptr);

    const int Lv = vfilt->nrows, Lh = hfilt->nrows;
    const int top = Lv / 2, bottom = Lv - Lv / 2 - 1;
    const int left = Lh / 2, right = Lh - Lh / 2 - 1;

    const char *big = "sep_filt2d: intermediate matrix too large\n";
    int trows = checked_dim((int64_t)vitp * in->nrows + top + bottom, big);
    int tcols = checked_dim((int64_t)hitp * in->ncols / hstep, big);
    MatrixPtr t(alloc_mtx(trows, tcols));  // every sample is written by the row pass

    MatrixPtr up(ups ? upsample(in, hitp, vitp) : nullptr);
    matrix *src = up ? up.get() : in;
    const char *ext = "augment_borders: extended matrix too large\n";
    checked_dim((int64_t)top + src->nrows + bottom, ext);
    checked_dim((int64_t)left + src->ncols + right, ext);
    if (mode != 'w' && mode != 'z') fail("Unknown mode in aufgment_boundaries\n");
    row_pass_extended(src, t.get(), hfilt, top, left, right, hstep, hoff, mode, rgain);
    col_convolve(t.get(), out, vfilt, vstep, voff, cgain);
}

namespace {

// Levels from..depth-1 of pyr, each the filtered and 2x-subsampled level
// before it.
void fill_levels(pyramid *pyr, int from, matrix *vfilt, matrix *hfilt, int depth, int mode) {
    for (int i = from; i < depth; i++)
        gpyr_level(pyr->level[i - 1], pyr->level[i], vfilt, hfilt, mode);
}

}  // namespace

void gpyr_level(const matrix *in, matrix *out, matrix *vfilt, matrix *hfilt, int mode) {
    const bool fast = mode == 'w' && vfilt != nullptr && hfilt != nullptr && vfilt->ncols == 1 &&
                      hfilt->ncols == 1 && vfilt->nrows >= 1 && hfilt->nrows >= 1 &&
                      in->nrows >= 2 && in->ncols >= 2 && out->nrows == in->nrows / 2 &&
                      out->ncols == in->ncols / 2 && (int64_t)in->nrows + vfilt->nrows <= INT_MAX &&
                      (int64_t)in->ncols + hfilt->nrows <= INT_MAX;
    if (!fast) {
        // Everything else, and every refusal, as sep_filt2d has it.
        sep_filt2d(const_cast<matrix *>(in), out, vfilt, hfilt, 2, 2, 0, 0, mode, 1, 1, 0, 1.0,
                   1.0);
        return;
    }
    const int Lv = vfilt->nrows, Lh = hfilt->nrows;
    std::vector<double> bv = reversed_taps(vfilt, 1.0), bh = reversed_taps(hfilt, 1.0);
    std::vector<double> ring((size_t)Lv * (size_t)(in->ncols / 2));
    std::vector<const double *> rows((size_t)Lv);
    auto run = simd_pick(pyr::simd_plain::level_down, pyr::simd_avx2::level_down,
                         pyr::simd_avx512::level_down);
    run(in->pix, in->nrows, in->ncols, out->pix, bv.data(), Lv, bh.data(), Lh, ring.data(),
        rows.data());
}

void gpyr(matrix *img, pyramid *pyr, matrix *vfilt, matrix *hfilt, int depth, int mode) {
    if (depth > pyr->depth) fail("gpyr: pyramid has fewer levels than requested\n");
    matrix *l0 = pyr->level[0];
    int64_t n = (int64_t)img->nrows * img->ncols;
    if ((int64_t)l0->nrows * l0->ncols < n) fail("gpyr: level 0 is smaller than the image\n");
    memcpy(l0->pix[0], img->pix[0], (size_t)n * sizeof(double));
    fill_levels(pyr, 1, vfilt, hfilt, depth, mode);
}

pyramid *gpyr_on(matrix *img, int depth, matrix *vfilt, matrix *hfilt, int mode) {
    if (depth <= 0) fail("gpyr: pyramid has fewer levels than requested\n");
    // A failure reported in process takes the image and the levels with it
    // (a caller that survives it, one image of many, would lose them).
    MatrixPtr level0(img);
    std::unique_ptr<pyramid, FreeDeleter> shell((pyramid *)calloc(1, sizeof(pyramid)));
    std::unique_ptr<matrix *, FreeDeleter> levels(
        (matrix **)calloc((size_t)depth, sizeof(matrix *)));
    check_alloc(shell && levels ? shell.get() : nullptr);
    PyramidPtr pyr(shell.release());  // levels not made yet are null, which free_pyr skips
    pyr->level = levels.release();
    pyr->depth = depth;
    pyr->level[0] = level0.release();
    int rows = img->nrows, cols = img->ncols;
    for (int i = 1; i < depth; i++) pyr->level[i] = alloc_mtx(rows >>= 1, cols >>= 1);
    fill_levels(pyr.get(), 1, vfilt, hfilt, depth, mode);
    return pyr.release();
}
