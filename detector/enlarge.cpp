// Channel enlargement. ImageMagick's ResizeImage is most of the detector's
// time, yet for a grey image and the cubic B-spline it is a plain separable
// filter, reproduced here sample for sample:
//  - samples are 16-bit: the input, the result of the first pass and the
//    result of the second are each rounded to 0..65535 as ImageMagick
//    stores them;
//  - the pass along the axis with the larger factor runs last (rows first
//    when the factors are equal);
//  - per output position the taps, their weights, the normalisation and the
//    summation order are ImageMagick's, down to its 1e-12 offsets (which is
//    why factor 1 still blurs) and its truncations;
//  - the result is read back as ImageMagick's intensity of a grey pixel,
//    which is not always q / 65535 to the last bit.
// Every floating-point step must round as ImageMagick's does, so this file
// is built without contracted multiply-adds. Another ImageMagick version may
// compute differently: the own route is compared with ImageMagick once per
// process before it is trusted.
#include "enlarge.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

#include "imgconv.h"
#include "lumivar.h"

namespace {

constexpr double kEpsilon = 1.0e-12;  // ImageMagick's MagickEpsilon
constexpr double kQuantumRange = 65535.0;
constexpr int kLevels = 30;  // pyramid levels a model can name
constexpr double kSupport = 2.0;

// 1/x, kept finite for tiny x as ImageMagick does.
double reciprocal(double x) {
    const double sign = x < 0.0 ? -1.0 : 1.0;
    if (sign * x >= kEpsilon) return 1.0 / x;
    return sign / kEpsilon;
}

// The 16-bit sample ImageMagick stores for a value on the 0..65535 scale,
// as a double.
inline double to_q16(double v) {
    if (!(v > 0.0)) return 0.0;  // NaN too
    if (v >= kQuantumRange) return kQuantumRange;
    return (double)(int)(v + 0.5);
}

// Cubic B-spline with ImageMagick's BC-cubic coefficients (B = 1, C = 0)
// and its evaluation order; the textbook form differs in the last bits.
struct BSpline {
    double c[7];
    BSpline() {
        const double B = 1.0, C = 0.0, twoB = B + B;
        c[0] = 1.0 - (1.0 / 3.0) * B;
        c[1] = -3.0 + twoB + C;
        c[2] = 2.0 - 1.5 * B - C;
        c[3] = (4.0 / 3.0) * B + 4.0 * C;
        c[4] = -8.0 * C - twoB;
        c[5] = B + 5.0 * C;
        c[6] = (-1.0 / 6.0) * B - C;
    }
    double operator()(double x) const {
        if (x < 1.0) return c[0] + x * (x * (c[1] + x * c[2]));
        if (x < 2.0) return c[3] + x * (c[4] + x * (c[5] + x * c[6]));
        return 0.0;
    }
};

// Taps of one axis: output position x reads inputs start[x] .. start[x] +
// count[x] - 1 with weights weight[x * width + i].
struct Axis {
    int width = 0;
    std::vector<long> start;
    std::vector<int> count;
    std::vector<double> weight;
};

Axis make_axis(size_t n_in, size_t n_out) {
    static const BSpline spline;
    const double factor = (double)n_out / (double)n_in;
    double scale = std::max(1.0 / factor + kEpsilon, 1.0);
    const double support = scale * kSupport;
    scale = reciprocal(scale);
    Axis a;
    a.width = (int)(2.0 * support + 3.0);
    a.start.resize(n_out);
    a.count.resize(n_out);
    a.weight.assign(n_out * a.width, 0.0);
    for (size_t x = 0; x < n_out; x++) {
        const double centre = ((double)x + 0.5) / factor + kEpsilon;
        const double lo = centre - support + 0.5, hi = centre + support + 0.5;
        const long start = (long)(lo > 0.0 ? lo : 0.0);
        const long stop = (long)(hi < (double)n_in ? hi : (double)n_in);
        const int n = (int)std::min<long>(std::max<long>(stop - start, 0), a.width);
        double *w = &a.weight[x * a.width];
        double density = 0.0;
        for (int i = 0; i < n; i++) {
            w[i] = spline(fabs(scale * ((double)(start + i) - centre + 0.5)));
            density += w[i];
        }
        if (density != 0.0 && density != 1.0) {
            density = reciprocal(density);
            for (int i = 0; i < n; i++) w[i] *= density;
        }
        a.start[x] = start;
        a.count[x] = n;
    }
    return a;
}

// src: rows x cols, dst: a.start.size() x cols; rows are filtered.
void vertical_pass(const double *src, size_t cols, const Axis &a, double *dst) {
    const size_t out_rows = a.start.size();
    std::vector<double> acc(cols);
    for (size_t y = 0; y < out_rows; y++) {
        std::fill(acc.begin(), acc.end(), 0.0);
        const double *w = &a.weight[y * a.width];
        for (int i = 0; i < a.count[y]; i++) {
            const double *row = src + (size_t)(a.start[y] + i) * cols;
            const double wi = w[i];
            for (size_t x = 0; x < cols; x++) acc[x] += wi * row[x];
        }
        double *out = dst + y * cols;
        for (size_t x = 0; x < cols; x++) out[x] = to_q16(acc[x]);
    }
}

// src: rows x cols, dst: rows x a.start.size(); columns are filtered.
void horizontal_pass(const double *src, size_t rows, size_t cols, const Axis &a, double *dst) {
    const size_t out_cols = a.start.size();
    for (size_t y = 0; y < rows; y++) {
        const double *row = src + y * cols;
        double *out = dst + y * out_cols;
        for (size_t x = 0; x < out_cols; x++) {
            const double *p = row + a.start[x];
            const double *w = &a.weight[x * a.width];
            double s = 0.0;
            for (int i = 0; i < a.count[x]; i++) s += w[i] * p[i];
            out[x] = to_q16(s);
        }
    }
}

// Intensity of a grey 16-bit pixel q, as ImageMagick exports it.
const double *intensity_table() {
    static const std::vector<double> table = [] {
        std::vector<double> t(65536);
        for (int q = 0; q < 65536; q++) {
            const double v = q;
            t[q] = (1.0 / kQuantumRange) * (0.212656 * v + 0.715158 * v + 0.072186 * v);
        }
        return t;
    }();
    return table.data();
}

// The own route for any target size of at most INT_MAX rows and columns.
matrix *resize_exact(const matrix *m, size_t rows, size_t cols) {
    const size_t R = (size_t)m->nrows, C = (size_t)m->ncols;
    std::vector<double> in(R * C);
    const double *src = m->pix[0];
    for (size_t i = 0; i < R * C; i++) in[i] = to_q16(kQuantumRange * src[i]);

    matrix *out = alloc_mtx((int)rows, (int)cols);
    double *dst = out->pix[0];
    const Axis ax = make_axis(C, cols), ay = make_axis(R, rows);
    if ((double)cols / (double)C > (double)rows / (double)R) {
        std::vector<double> mid(R * cols);
        horizontal_pass(in.data(), R, C, ax, mid.data());
        vertical_pass(mid.data(), cols, ay, dst);
    } else {
        std::vector<double> mid(rows * C);
        vertical_pass(in.data(), C, ay, mid.data());
        horizontal_pass(mid.data(), rows, C, ax, dst);
    }
    const double *table = intensity_table();
    for (size_t i = 0; i < rows * cols; i++) dst[i] = table[(int)dst[i]];
    return out;
}

// The ImageMagick route for any target size; `report` says whether a
// failure is reported on standard error.
matrix *resize_magick(matrix *chan, size_t rows, size_t cols, bool report) {
    img_init();
    Image *small = matrix2Image(chan);
    if (!small) {
        if (report) fputs("Cannot convert a channel map to an image\n", stderr);
        return nullptr;
    }
    ExceptionInfo *exception = AcquireExceptionInfo();
    Image *big = ResizeImage(small, cols, rows, CubicFilter, 1.0, exception);
    DestroyImage(small);
    if (!big) {
        if (report) CatchException(exception);
        DestroyExceptionInfo(exception);
        if (report) fputs("Cannot resize a channel map\n", stderr);
        return nullptr;
    }
    DestroyExceptionInfo(exception);
    matrix *out = Image2matrix(big, "I");
    DestroyImage(big);
    return out;
}

// Output size of an enlargement by 2^l, computed as the ImageMagick route
// always has; false when it would hold more than INT_MAX samples.
bool enlarged_size(const matrix *chan, int l, size_t *rows, size_t *cols) {
    const double scale = pow(2.0, (double)l);
    const double r = chan->nrows * scale, c = chan->ncols * scale;
    if (!(r * c <= (double)INT_MAX)) return false;
    *rows = (size_t)r;
    *cols = (size_t)c;
    return true;
}

// Probe values: ordinary ones, ones the input rounding sends either way,
// and ones ImageMagick clamps.
matrix *probe_channel(int R, int C, std::mt19937 &rng) {
    static const double special[] = {NAN, INFINITY, -INFINITY, 0.0, 1.0, -0.3, 1.7,
                                     0.5 / kQuantumRange, 1234.5 / kQuantumRange, 1e-300};
    std::uniform_real_distribution<double> u(-0.2, 1.2);
    std::uniform_int_distribution<int> pick(0, 15);
    matrix *m = alloc_mtx(R, C);
    for (long i = 0; i < (long)R * C; i++) {
        const int s = pick(rng);
        m->pix[0][i] = s < 10 ? special[s] : u(rng);
    }
    return m;
}

bool same_samples(const matrix *a, const matrix *b) {
    return a && b && a->nrows == b->nrows && a->ncols == b->ncols &&
           memcmp(a->pix[0], b->pix[0], sizeof(double) * a->nrows * a->ncols) == 0;
}

enum class Probe { same, differs, refused };

// Both routes on probes of level l: whole enlargements where they are small,
// and at every level a one-row and a one-column strip, which test each axis
// at factor 2^l for a cost that grows only as 2^l. `refused` when
// ImageMagick declines a probe (its size limits); the level then stays with
// ImageMagick, which at the deepest levels cannot enlarge any channel.
Probe probe_level(int l) {
    std::mt19937 rng(1000 + l);
    const size_t f = (size_t)1 << l;
    const int k = (int)std::max<size_t>(1, std::min<size_t>(5, 8192 >> l));
    struct Case {
        int R, C;
        size_t rows, cols;
    };
    std::vector<Case> cases = {{1, k, 1, k * f}, {k, 1, k * f, 1}};
    const int shapes[][2] = {{1, 1}, {2, 3}, {5, 4}, {7, 9}, {13, 11}};
    for (const auto &s : shapes)
        if ((size_t)s[0] * s[1] * f * f <= ((size_t)1 << 18))
            cases.push_back({s[0], s[1], s[0] * f, s[1] * f});
    for (const Case &c : cases) {
        matrix *probe = probe_channel(c.R, c.C, rng);
        matrix *theirs = resize_magick(probe, c.rows, c.cols, false);
        if (!theirs) {
            free_mtx(probe);
            return Probe::refused;
        }
        matrix *mine = resize_exact(probe, c.rows, c.cols);
        const bool same = same_samples(mine, theirs);
        for (matrix *m : {probe, mine, theirs}) free_mtx(m);
        if (!same) return Probe::differs;
    }
    return Probe::same;
}

// The process-wide choice of route: per level, whether the own route
// serves it. enlarge_select decides levels 0..maxlevel at once; other levels
// are probed when first asked for. One differing probe sends every level to
// ImageMagick.
enum Route : int { undecided, own, magick };
std::atomic<int> g_route[kMaxExactLevel + 1];
std::atomic<bool> g_differs{false};
std::once_flag g_select_once;
std::once_flag g_level_once[kMaxExactLevel + 1];
std::once_flag g_notice_once;

void notice_magick_route() {
    std::call_once(g_notice_once, [] {
        fputs("Notice: this ImageMagick resizes differently; channel maps are enlarged by "
              "ImageMagick (slower)\n",
              stderr);
    });
}

// Probes levels 0..min(maxlevel, kMaxExactLevel) and records the outcome;
// false when a probe differs.
bool decide_levels(int maxlevel) {
    for (int l = 0; l <= std::min(maxlevel, kMaxExactLevel); l++) {
        const Probe p = probe_level(l);
        if (p == Probe::differs) {
            g_differs.store(true);
            notice_magick_route();
            return false;
        }
        int expected = undecided;
        g_route[l].compare_exchange_strong(expected, p == Probe::same ? own : magick);
    }
    return true;
}

bool use_exact(int l) {
    if (l < 0 || l > kMaxExactLevel) return false;
    if (g_route[l].load() == undecided && !g_differs.load())
        std::call_once(g_level_once[l], [l] {
            const Probe p = probe_level(l);
            if (p == Probe::differs) {
                g_differs.store(true);
                notice_magick_route();
            }
            int expected = undecided;
            g_route[l].compare_exchange_strong(expected, p == Probe::same ? own : magick);
        });
    return !g_differs.load() && g_route[l].load() == own;
}

}  // namespace

matrix *enlarge_channel_exact(const matrix *chan, int l) {
    if (!chan || !chan->pix || chan->nrows <= 0 || chan->ncols <= 0 || l < 0 || l >= kLevels)
        return nullptr;
    size_t rows, cols;
    if (!enlarged_size(chan, l, &rows, &cols)) return nullptr;
    return resize_exact(chan, rows, cols);
}

matrix *enlarge_channel_magick(matrix *chan, int l) {
    const double scale = pow(2.0, (double)l);
    return resize_magick(chan, (size_t)(chan->nrows * scale), (size_t)(chan->ncols * scale), true);
}

bool enlarge_exact_verified(int maxlevel) {
    for (int l = 0; l <= std::min(maxlevel, kMaxExactLevel); l++)
        if (probe_level(l) == Probe::differs) return false;
    return true;
}

void enlarge_select(int maxlevel) {
    std::call_once(g_select_once, [maxlevel] { decide_levels(maxlevel); });
}

matrix *enlarge_channel(matrix *chan, int l) {
    if (use_exact(l))
        if (matrix *out = enlarge_channel_exact(chan, l)) return out;
    return enlarge_channel_magick(chan, l);
}
