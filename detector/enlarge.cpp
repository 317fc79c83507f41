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
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "imgconv.h"
#include "lumivar.h"
#include "owners.h"
#include "fail.h"

namespace {

constexpr double kEpsilon = 1.0e-12;  // ImageMagick's MagickEpsilon
constexpr double kQuantumRange = 65535.0;
constexpr int kLevels = 30;  // pyramid levels a model can name
constexpr double kSupport = 2.0;
// Output positions the horizontal pass makes side by side.
constexpr int kGroup = 8;

bool enlarged_size(int R, int C, int l, size_t *rows, size_t *cols);

// 1/x, kept finite for tiny x as ImageMagick does.
double reciprocal(double x) {
    const double sign = x < 0.0 ? -1.0 : 1.0;
    if (sign * x >= kEpsilon) return 1.0 / x;
    return sign / kEpsilon;
}

// The 16-bit sample ImageMagick stores for a value on the 0..65535 scale:
// 0 for NaN and below 0, 65535 from 65535 on, else rounded half up
// (branch-free: it runs once per sample and pass).
inline int q16(double v) {
    double t = v > 0.0 ? v : 0.0;
    t = t < kQuantumRange ? t : kQuantumRange;
    return (int)(t + 0.5);
}
inline double to_q16(double v) { return (double)q16(v); }

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
// taps - 1 with weights weight[x * taps + i]. Positions with fewer taps
// (at the borders) have trailing zero weights, which leave a sum of finite
// samples unchanged and let every position run the same loop.
struct Axis {
    int taps = 0;
    std::vector<long> start;
    std::vector<double> weight;
    // The horizontal pass eight output positions at a time: group g's
    // weights tap by tap (lanes side by side), where each lane's taps start
    // relative to the group's first, and the group's kind: its lanes start
    // one after the other (an enlargement by 1), start within one
    // eight-sample load (by more), or spread further (sample by sample).
    enum Kind : char { consecutive, within_load, spread };
    std::vector<double> lane_weight;
    std::vector<long long> lane_offset;
    std::vector<Kind> group_kind;
};

Axis make_axis(size_t n_in, size_t n_out) {
    static const BSpline spline;
    const double factor = (double)n_out / (double)n_in;
    double scale = std::max(1.0 / factor + kEpsilon, 1.0);
    const double support = scale * kSupport;
    scale = reciprocal(scale);
    const int width = (int)(2.0 * support + 3.0);
    std::vector<int> count(n_out);
    std::vector<double> weight(n_out * width, 0.0);
    Axis a;
    a.start.resize(n_out);
    for (size_t x = 0; x < n_out; x++) {
        const double centre = ((double)x + 0.5) / factor + kEpsilon;
        const double lo = centre - support + 0.5, hi = centre + support + 0.5;
        const long start = (long)(lo > 0.0 ? lo : 0.0);
        const long stop = (long)(hi < (double)n_in ? hi : (double)n_in);
        const int n = (int)std::min<long>(std::max<long>(stop - start, 0), width);
        double *w = &weight[x * width];
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
        count[x] = n;
        a.taps = std::max(a.taps, n);
    }
    a.weight.assign(n_out * a.taps, 0.0);
    for (size_t x = 0; x < n_out; x++)
        std::copy(&weight[x * width], &weight[x * width] + count[x], &a.weight[x * a.taps]);
    const size_t groups = n_out / kGroup;
    a.lane_weight.assign(groups * kGroup * a.taps, 0.0);
    a.lane_offset.assign(groups * kGroup, 0);
    a.group_kind.assign(groups, Axis::consecutive);
    for (size_t g = 0; g < groups; g++) {
        const long first = a.start[g * kGroup];
        for (int k = 0; k < kGroup; k++) {
            const size_t x = g * kGroup + k;
            const long off = a.start[x] - first;
            a.lane_offset[x] = off;
            if (off < 0 || off >= kGroup)
                a.group_kind[g] = Axis::spread;
            else if (off != k && a.group_kind[g] == Axis::consecutive)
                a.group_kind[g] = Axis::within_load;
            for (int i = 0; i < a.taps; i++)
                a.lane_weight[(g * a.taps + i) * kGroup + k] = a.weight[x * a.taps + i];
        }
    }
    return a;
}

// Axes depend only on the two lengths, which repeat from image to image:
// each is made once and shared by every thread. A batch of many image sizes
// would keep a table per size, so the store is emptied when it holds many
// (axes in use stay alive with their users).
std::shared_ptr<const Axis> shared_axis(size_t n_in, size_t n_out) {
    static std::mutex lock;
    static std::map<std::pair<size_t, size_t>, std::shared_ptr<const Axis>> made;
    std::lock_guard<std::mutex> hold(lock);
    if (made.size() >= 64 && !made.count({n_in, n_out})) made.clear();
    std::shared_ptr<const Axis> &a = made[{n_in, n_out}];
    if (!a) a = std::make_shared<const Axis>(make_axis(n_in, n_out));
    return a;
}

// Intensity of a grey 16-bit pixel q (held as a double), as ImageMagick
// exports it.
inline double intensity(double q) {
    return (1.0 / kQuantumRange) * (0.212656 * q + 0.715158 * q + 0.072186 * q);
}

// The same steps eight samples at a time (one AVX-512 vector, two AVX2 or
// four SSE2 ones, chosen at run time): every lane rounds as the scalar code
// does (the comparisons send NaN to 0 as q16 does; the conversion truncates
// as the cast does). Always inlined, so that they run in their caller's
// instruction set and no vector is passed in a call.
typedef double v8d __attribute__((vector_size(64)));
typedef int v8i __attribute__((vector_size(32)));
typedef long long v8l __attribute__((vector_size(64)));

__attribute__((always_inline)) inline v8d q16_lanes(v8d v) {
    const v8d zero = {}, top = zero + kQuantumRange;
    v8d t = v > zero ? v : zero;
    t = t < top ? t : top;
    return __builtin_convertvector(__builtin_convertvector(t + 0.5, v8i), v8d);
}

__attribute__((always_inline)) inline v8d intensity_lanes(v8d q) {
    return (1.0 / kQuantumRange) * (0.212656 * q + 0.715158 * q + 0.072186 * q);
}

__attribute__((always_inline)) inline v8d load8(const double *p) {
    v8d v;
    memcpy(&v, p, sizeof v);
    return v;
}

__attribute__((always_inline)) inline void store8(double *p, v8d v) { memcpy(p, &v, sizeof v); }

// Input samples as ImageMagick stores them.
__attribute__((target_clones("avx512f", "avx2", "default"))) void quantize_input(const double *src,
                                                                                 size_t n,
                                                                                 double *dst) {
    size_t x = 0;
    for (; x + 8 <= n; x += 8) store8(dst + x, q16_lanes(kQuantumRange * load8(src + x)));
    for (; x < n; x++) dst[x] = to_q16(kQuantumRange * src[x]);
}

// What a pass stores of its sums: the 16-bit values of an intermediate
// image, or, after the last pass, the intensities read back.
enum class Store { q16, intensity };

// The vertical pass for one output row: out[x] = the stored value of
// sum_i w[i] * rows[i][x], summed from 0.0 in tap order.
__attribute__((target_clones("avx512f", "avx2", "default"))) void weighted_rows(
    const double *const *rows, const double *w, int n, size_t cols, Store store, double *out) {
    size_t x = 0;
    for (; x + 8 <= cols; x += 8) {
        v8d acc = {};
        for (int i = 0; i < n; i++) acc += w[i] * load8(rows[i] + x);
        const v8d q = q16_lanes(acc);
        store8(out + x, store == Store::q16 ? q : intensity_lanes(q));
    }
    for (; x < cols; x++) {
        double acc = 0.0;
        for (int i = 0; i < n; i++) acc += w[i] * rows[i][x];
        const double q = to_q16(acc);
        out[x] = store == Store::q16 ? q : intensity(q);
    }
}

// One row of the horizontal pass into `out`: `row` holds the input row
// followed by zeros for the zero-weight taps (a.taps + kGroup of them). A
// group of eight positions loads eight neighbouring samples per tap and
// hands each lane its own, as the scalar loop reads it.
__attribute__((target_clones("avx512f", "avx2", "default"))) void horizontal_pass(const double *row,
                                                                                  const Axis &a,
                                                                                  Store store,
                                                                                  double *out) {
    const int n = a.taps;
    const size_t out_cols = a.start.size(), groups = out_cols / kGroup;
    for (size_t g = 0; g < groups; g++) {
        const size_t x0 = g * kGroup;
        const double *p = row + a.start[x0];
        const double *w = &a.lane_weight[g * n * kGroup];
        v8d acc = {};
        if (a.group_kind[g] == Axis::consecutive) {
            for (int i = 0; i < n; i++, w += kGroup) acc += load8(w) * load8(p + i);
        } else if (a.group_kind[g] == Axis::within_load) {
            v8l lanes;
            memcpy(&lanes, &a.lane_offset[x0], sizeof lanes);
            for (int i = 0; i < n; i++, w += kGroup)
                acc += load8(w) * __builtin_shuffle(load8(p + i), lanes);
        } else {
            for (int k = 0; k < kGroup; k++) {
                const double *p = row + a.start[x0 + k], *w = &a.weight[(x0 + k) * n];
                double s = 0.0;
                for (int i = 0; i < n; i++) s += w[i] * p[i];
                acc[k] = s;
            }
        }
        const v8d q = q16_lanes(acc);
        store8(out + x0, store == Store::q16 ? q : intensity_lanes(q));
    }
    for (size_t x = groups * kGroup; x < out_cols; x++) {
        const double *p = row + a.start[x], *w = &a.weight[x * n];
        double s = 0.0;
        for (int i = 0; i < n; i++) s += w[i] * p[i];
        const double q = to_q16(s);
        out[x] = store == Store::q16 ? q : intensity(q);
    }
}

// The taps of output row y of the vertical pass over `rows` input rows:
// pointers and weights, leaving out taps past the last row and, as the
// rows summed hold 16-bit values, zero weights, whose exact zeros change
// no sum (their rows are not even made: the trainer samples a few rows).
template <class RowOf>
int column_taps(size_t y, size_t rows, const Axis &a, RowOf row, const double **p, double *w) {
    const double *wy = &a.weight[y * a.taps];
    int n = 0;
    for (int i = 0; i < a.taps && (size_t)(a.start[y] + i) < rows; i++) {
        if (wy[i] == 0.0) continue;
        p[n] = row((size_t)a.start[y] + i);
        w[n++] = wy[i];
    }
    return n;
}

}  // namespace

// The own route for any target size of at most INT_MAX samples, one output
// row per call: reads the R x C input row by row from `source` (each row
// once, in ascending order).
struct EnlargedRows::State {
    size_t R, C, rows, cols, y = 0;
    RowSource source;
    std::shared_ptr<const Axis> axp, ayp;
    const Axis &ax, &ay;
    bool columns_first;
    std::vector<double> out, row;
    std::vector<const double *> tap_rows;
    std::vector<double> tap_weights;
    // Rows first: the input rows in use, as 16-bit values, in a ring (they
    // are needed in ascending order); each row of the first pass goes
    // straight into the second.
    size_t ring = 1;
    std::vector<double> cache;
    std::vector<size_t> held;
    // Columns first (only for shapes the detector never enlarges): the
    // whole first pass.
    std::vector<double> mid;

    State(size_t R_, size_t C_, RowSource src, size_t rows_, size_t cols_)
        : R(R_),
          C(C_),
          rows(rows_),
          cols(cols_),
          source(std::move(src)),
          axp(shared_axis(C, cols)),
          ayp(shared_axis(R, rows)),
          ax(*axp),
          ay(*ayp),
          columns_first((double)cols / (double)C > (double)rows / (double)R),
          out(cols),
          tap_rows(std::max(ay.taps, 1)),
          tap_weights(std::max(ay.taps, 1)) {
        row.assign(C + ax.taps + kGroup, 0.0);
        if (columns_first) {
            mid.resize(R * cols);
            for (size_t r = 0; r < R; r++) {
                quantize_input(source((int)r), C, row.data());
                horizontal_pass(row.data(), ax, Store::q16, &mid[r * cols]);
            }
        } else {
            ring = std::max(ay.taps, 1);
            cache.resize(ring * C);
            held.assign(ring, SIZE_MAX);
        }
    }

    const double *input_row(size_t r) {
        double *slot = &cache[(r % ring) * C];
        if (held[r % ring] != r) {
            quantize_input(source((int)r), C, slot);
            held[r % ring] = r;
        }
        return slot;
    }

    const double *next() {
        if (columns_first) {
            const int n = column_taps(
                y, R, ay, [&](size_t r) { return (const double *)&mid[r * cols]; }, tap_rows.data(),
                tap_weights.data());
            weighted_rows(tap_rows.data(), tap_weights.data(), n, cols, Store::intensity,
                          out.data());
        } else {
            const int n = column_taps(
                y, R, ay, [&](size_t r) { return input_row(r); }, tap_rows.data(),
                tap_weights.data());
            weighted_rows(tap_rows.data(), tap_weights.data(), n, C, Store::q16, row.data());
            horizontal_pass(row.data(), ax, Store::intensity, out.data());
        }
        y++;
        return out.data();
    }
};

EnlargedRows::EnlargedRows(int R, int C, RowSource source, int l) {
    size_t rows = 0, cols = 0;
    enlarged_size(R, C, l, &rows, &cols);
    s_.reset(new State(R, C, std::move(source), rows, cols));
}

EnlargedRows::~EnlargedRows() = default;

const double *EnlargedRows::next() { return s_->next(); }

// Every output row depends only on its own taps, so a row passed over
// changes nothing that follows.
void EnlargedRows::skip() { s_->y++; }

namespace {

void resize_exact(size_t R, size_t C, const RowSource &source, size_t rows, size_t cols,
                  const RowSink &sink) {
    EnlargedRows::State state(R, C, source, rows, cols);
    for (size_t y = 0; y < rows; y++) sink(y, state.next());
}

RowSource rows_of(const matrix *m) {
    return [m](int r) { return (const double *)m->pix[r]; };
}

matrix *resize_exact(const matrix *m, size_t rows, size_t cols) {
    matrix *out = alloc_mtx((int)rows, (int)cols);
    resize_exact(m->nrows, m->ncols, rows_of(m), rows, cols,
                 [out, cols](size_t y, const double *row) {
                     memcpy(out->pix[y], row, cols * sizeof(double));
                 });
    return out;
}

// The ImageMagick route for any target size; `report` says whether a
// failure is reported on standard error.
matrix *resize_magick(matrix *chan, size_t rows, size_t cols, bool report) {
    img_init();
    ImagePtr small(matrix2Image(chan));
    if (!small) {
        if (report) lib_puts(2, "Cannot convert a channel map to an image\n");
        return nullptr;
    }
    MagickException exception;
    ImagePtr big(ResizeImage(small.get(), cols, rows, CubicFilter, 1.0, exception.get()));
    if (!big) {
        if (report) {
            CatchException(exception.get());
            lib_puts(2, "Cannot resize a channel map\n");
        }
        return nullptr;
    }
    return Image2matrix(big.get(), "I");
}

// Output size of an enlargement by 2^l, computed as the ImageMagick route
// always has; false when it would hold more than INT_MAX samples.
bool enlarged_size(int R, int C, int l, size_t *rows, size_t *cols) {
    const double scale = pow(2.0, (double)l);
    const double r = R * scale, c = C * scale;
    if (!(r * c <= (double)INT_MAX)) return false;
    *rows = (size_t)r;
    *cols = (size_t)c;
    return true;
}

// Probe values: ordinary ones, ones the input rounding sends either way,
// and ones ImageMagick clamps.
matrix *probe_channel(int R, int C, std::mt19937 &rng) {
    static const double special[] = {NAN,
                                     INFINITY,
                                     -INFINITY,
                                     0.0,
                                     1.0,
                                     -0.3,
                                     1.7,
                                     0.5 / kQuantumRange,
                                     1234.5 / kQuantumRange,
                                     1e-300};
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
        fputs(
            "Notice: this ImageMagick resizes differently; channel maps are enlarged by "
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
    if (!enlarged_size(chan->nrows, chan->ncols, l, &rows, &cols)) return nullptr;
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

bool magick_rounding_checked() { return use_exact(0); }

__attribute__((target_clones("avx512f", "avx2", "default"))) void quantize_ratio(
    const double *v, long n, double divisor, unsigned short *q) {
    long i = 0;
    for (; i + 8 <= n; i += 8) {
        const v8d r = q16_lanes(kQuantumRange * (load8(v + i) / divisor));
        for (int k = 0; k < 8; k++) q[i + k] = (unsigned short)r[k];
    }
    for (; i < n; i++) q[i] = (unsigned short)q16(kQuantumRange * (v[i] / divisor));
}

matrix *enlarge_channel(matrix *chan, int l) {
    if (use_exact(l))
        if (matrix *out = enlarge_channel_exact(chan, l)) return out;
    return enlarge_channel_magick(chan, l);
}

bool enlarge_own_route(int R, int C, int l) {
    size_t rows, cols;
    return use_exact(l) && R > 0 && C > 0 && l < kLevels && enlarged_size(R, C, l, &rows, &cols);
}

bool enlarge_rows(int R, int C, const RowSource &source, int l, const RowSink &sink) {
    size_t rows, cols;
    if (enlarge_own_route(R, C, l) && enlarged_size(R, C, l, &rows, &cols)) {
        resize_exact(R, C, source, rows, cols, sink);
        return true;
    }
    MatrixPtr chan(alloc_mtx(R, C));
    for (int r = 0; r < R; r++) memcpy(chan->pix[r], source(r), sizeof(double) * C);
    MatrixPtr big(enlarge_channel_magick(chan.get(), l));
    if (!big) return false;
    for (int y = 0; y < big->nrows; y++) sink((size_t)y, big->pix[y]);
    return true;
}
